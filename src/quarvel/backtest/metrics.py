"""The figures of a run, each defined once here with its formula.

The summary, the reports and any sweep read them from `compute_metrics`; the inputs are
the frames of `quarvel.backtest.frames` (an equity curve and the closed round trips).
Sharpe and Sortino follow empyrical: daily returns, risk-free rate 0, annualised with the
square root of the trading days per year of the run's own calendar.
"""

from __future__ import annotations

import datetime as dt
import math
from collections.abc import Sequence

import polars as pl

MIN_DAYS_FOR_RATIOS = 20
# A spread of daily returns below this is rounding noise of a constant series, not risk.
_NO_SPREAD = 1e-12

METRIC_KEYS = (
    "net_profit", "return_pct", "max_drawdown", "max_drawdown_pct", "sharpe", "sortino",
    "win_rate", "profit_factor", "avg_win", "avg_loss", "largest_loss", "round_trips",
    "fees", "taxes", "slippage_cost", "exposure_pct",
)


def drawdown(equity: pl.Series, initial_capital: float) -> tuple[pl.Series, pl.Series]:
    """Money and percent below the running peak, both <= 0.

    peak_t = max(initial_capital, E_0 .. E_t); drawdown_t = E_t - peak_t;
    drawdown_pct_t = (E_t / peak_t - 1) * 100.
    """
    peak = equity.cum_max().clip(lower_bound=initial_capital)
    return equity - peak, (equity / peak - 1.0) * 100.0


def net_profit(final_equity: float, initial_capital: float) -> float:
    """final equity - initial capital (realised and still-open results together)."""
    return final_equity - initial_capital


def return_pct(final_equity: float, initial_capital: float) -> float:
    """(final equity - initial capital) / initial capital * 100."""
    return net_profit(final_equity, initial_capital) / initial_capital * 100.0


def max_drawdown(drawdowns: pl.Series) -> float:
    """min_t drawdown_t: the deepest fall below the running peak (<= 0; 0 with no rows)."""
    return float(drawdowns.min()) if len(drawdowns) else 0.0


def daily_returns(day_end_equity: Sequence[float], initial_capital: float) -> list[float]:
    """r_d = E_d / E_(d-1) - 1 over the run's trading days, with E_(-1) = initial capital.

    E_d is the equity at the end of trading day d (days without trading repeat the last
    value, so they count as 0 returns).
    """
    previous, returns = initial_capital, []
    for value in day_end_equity:
        returns.append(value / previous - 1.0 if previous else 0.0)
        previous = value
    return returns


def annualisation(years: Sequence[int], days_in_year) -> float:
    """mean over the run's calendar years of the number of trading days in that year."""
    counts = [days_in_year(year) for year in years]
    return sum(counts) / len(counts)


def sharpe(returns: Sequence[float], periods: float) -> float | None:
    """mean(r) / std(r, ddof=1) * sqrt(periods); None under 20 days or with no variation."""
    if len(returns) < MIN_DAYS_FOR_RATIOS:
        return None
    mean = sum(returns) / len(returns)
    spread = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
    if spread < _NO_SPREAD:
        return None
    return mean / spread * math.sqrt(periods)


def sortino(returns: Sequence[float], periods: float) -> float | None:
    """mean(r) / sqrt(mean(min(r, 0)^2)) * sqrt(periods); None under 20 days or no down day."""
    if len(returns) < MIN_DAYS_FOR_RATIOS:
        return None
    downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in returns) / len(returns))
    if downside < _NO_SPREAD:
        return None
    return sum(returns) / len(returns) / downside * math.sqrt(periods)


def ratio_text(value: float | None) -> str:
    """A Sharpe or Sortino ratio as people read it, saying why one is missing."""
    return f"{value:.2f}" if value is not None else f"n/a (under {MIN_DAYS_FOR_RATIOS} days)"


def win_rate(profits: pl.Series) -> float | None:
    """count(profit > 0) / count(round trips), a fraction; a zero profit counts as a loss."""
    return float((profits > 0).mean()) if len(profits) else None


def profit_factor(profits: pl.Series) -> float | None:
    """sum(profit > 0) / |sum(profit <= 0)|; None when nothing was lost."""
    losses = -float(profits.filter(profits <= 0).sum())
    return float(profits.filter(profits > 0).sum()) / losses if losses > 0 else None


def avg_win(profits: pl.Series) -> float | None:
    """mean of the profits > 0; None without a winning round trip."""
    wins = profits.filter(profits > 0)
    return float(wins.mean()) if len(wins) else None


def avg_loss(profits: pl.Series) -> float | None:
    """mean of the profits <= 0 (a negative figure); None without a losing round trip."""
    losses = profits.filter(profits <= 0)
    return float(losses.mean()) if len(losses) else None


def largest_loss(profits: pl.Series) -> float | None:
    """min of the profits <= 0; None without a losing round trip."""
    losses = profits.filter(profits <= 0)
    return float(losses.min()) if len(losses) else None


def fees(round_trips: pl.DataFrame) -> float:
    """sum over round trips of the commission and fixed cost of both legs."""
    return _total(round_trips, "entry_fee", "exit_fee", "entry_fixed_cost", "exit_fixed_cost")


def taxes(round_trips: pl.DataFrame) -> float:
    """sum over round trips of the transaction tax of both legs."""
    return _total(round_trips, "entry_tax", "exit_tax")


def slippage_cost(round_trips: pl.DataFrame) -> float:
    """sum over legs of (slipped - raw price) * units for a buy, (raw - slipped) * units for a
    sell: the money the configured slippage took (negative if it ever helped)."""
    if round_trips.is_empty():
        return 0.0
    total = 0.0
    for leg in ("entry", "exit"):
        sign = pl.when(pl.col(f"{leg}_action") == "Buy").then(1.0).otherwise(-1.0)
        moved = (pl.col(f"{leg}_price") - pl.col(f"{leg}_raw_price")) * pl.col("units") * sign
        total += float(round_trips.select(moved.sum()).item())
    return total


def exposure_pct(open_qty_per_minute: pl.Series) -> float:
    """count(minutes with an open position) / count(minutes with trading) * 100."""
    return float((open_qty_per_minute > 0).mean()) * 100.0 if len(open_qty_per_minute) else 0.0


def compute_metrics(equity: pl.DataFrame, round_trips: pl.DataFrame, initial_capital: float,
                    trading_days: Sequence[dt.date], periods: float) -> dict:
    """Every metric of METRIC_KEYS from the equity curve and the closed round trips.

    `trading_days` are the run's trading days (from its calendar); `periods` the trading
    days per year used to annualise.
    """
    final = float(equity["equity"][-1]) if equity.height else float(initial_capital)
    profits = round_trips["profit"] if round_trips.height else pl.Series("profit", [], pl.Float64)
    returns = daily_returns(day_end_equity(equity, trading_days, initial_capital), initial_capital)
    minutes = equity.filter(pl.col("event") == "minute")["open_qty"]
    return {
        "net_profit": net_profit(final, initial_capital),
        "return_pct": return_pct(final, initial_capital),
        "max_drawdown": max_drawdown(equity["drawdown"]),
        "max_drawdown_pct": max_drawdown(equity["drawdown_pct"]),
        "sharpe": sharpe(returns, periods),
        "sortino": sortino(returns, periods),
        "win_rate": win_rate(profits),
        "profit_factor": profit_factor(profits),
        "avg_win": avg_win(profits),
        "avg_loss": avg_loss(profits),
        "largest_loss": largest_loss(profits),
        "round_trips": round_trips.height,
        "fees": fees(round_trips),
        "taxes": taxes(round_trips),
        "slippage_cost": slippage_cost(round_trips),
        "exposure_pct": exposure_pct(minutes),
    }


# A trading day's books close after the day session (13:45) and before the night session
# (15:00), which already belongs to the next trading day.
DAY_CLOSE = dt.time(14, 30)


def day_end_equity(equity: pl.DataFrame, trading_days: Sequence[dt.date],
                   initial_capital: float) -> list[float]:
    """E_d: the last equity at or before 14:30 of each trading day d (the initial capital
    before the first row)."""
    if not trading_days:
        return []
    closes = pl.DataFrame({"dt": [dt.datetime.combine(d, DAY_CLOSE) for d in trading_days]},
                          schema={"dt": pl.Datetime("us")})
    if equity.is_empty():
        return [float(initial_capital)] * len(trading_days)
    curve = equity.select("dt", "equity").sort("dt")
    joined = closes.join_asof(curve, on="dt", strategy="backward")
    return joined["equity"].fill_null(float(initial_capital)).cast(pl.Float64).to_list()


def _total(frame: pl.DataFrame, *columns: str) -> float:
    if frame.is_empty():
        return 0.0
    return float(frame.select(pl.sum_horizontal(*columns).sum()).item())
