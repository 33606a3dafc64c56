"""The run as data: trades, round trips and the equity curve as polars frames.

Built once at the end of a run from the ledger's trade records and profit rows, its open
position book and the quote store's one-minute closes. Times are naive local date-times,
the same wall-clock times the K-bars and the reports show.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

import polars as pl

from quarvel.backtest import metrics
from quarvel.data.calendar import trading_days

MINUTE = dt.timedelta(minutes=1)

TRADES_SCHEMA = {
    "trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
    "price": pl.Float64, "dt": pl.Datetime("us"), "trade_status": pl.String,
}
ROUND_TRIPS_SCHEMA = {
    "code": pl.String, "side": pl.String, "entry_dt": pl.Datetime("us"),
    "exit_dt": pl.Datetime("us"), "entry_action": pl.String, "exit_action": pl.String,
    "quantity": pl.Int64, "units": pl.Float64,
    "entry_raw_price": pl.Float64, "entry_price": pl.Float64,
    "exit_raw_price": pl.Float64, "exit_price": pl.Float64,
    "entry_amount": pl.Float64, "exit_amount": pl.Float64,
    "entry_fee": pl.Float64, "entry_tax": pl.Float64, "entry_fixed_cost": pl.Float64,
    "exit_fee": pl.Float64, "exit_tax": pl.Float64, "exit_fixed_cost": pl.Float64,
    "entry_cost": pl.Float64, "exit_cost": pl.Float64, "profit": pl.Float64,
    "return": pl.Float64,
}
EQUITY_SCHEMA = {
    "dt": pl.Datetime("us"), "event": pl.String, "cash": pl.Float64,
    "position_value": pl.Float64, "equity": pl.Float64, "drawdown": pl.Float64,
    "drawdown_pct": pl.Float64, "open_qty": pl.Int64,
}
# profit-row key -> round-trip column
_ROW_COLUMNS = {
    "code": "code", "entry_action": "entry_action", "exit_action": "exit_action",
    "qty": "quantity", "min_qty": "units",
    "entry_origin_price": "entry_raw_price", "entry_price": "entry_price",
    "exit_origin_price": "exit_raw_price", "exit_price": "exit_price",
    "entry_amount": "entry_amount", "exit_amount": "exit_amount",
    "trade_cost_fee": "entry_fee", "trade_cost_tax": "entry_tax",
    "trade_cost_fixed": "entry_fixed_cost", "cover_cost_fee": "exit_fee",
    "cover_cost_tax": "exit_tax", "cover_cost_fixed": "exit_fixed_cost",
    "trade_cost": "entry_cost", "cover_cost": "exit_cost", "profit": "profit",
    "profit_ratio": "return",
}


def local_datetime(seconds: float | None) -> dt.datetime | None:
    return None if seconds is None else dt.datetime.fromtimestamp(seconds)


def trades_frame(trade_records: list[dict[str, Any]]) -> pl.DataFrame:
    """One row per trade record (deals and cancels), `dt` as a datetime."""
    if not trade_records:
        return pl.DataFrame(schema=TRADES_SCHEMA)
    text = {**TRADES_SCHEMA, "dt": pl.String}
    frame = pl.DataFrame(
        [{key: str(value) if text[key] == pl.String else value for key, value in r.items()}
         for r in trade_records], schema=text)
    return frame.with_columns(pl.col("dt").str.to_datetime("%Y-%m-%d %H:%M:%S%.f", time_unit="us"))


def round_trips_frame(profit_rows: list[dict[str, Any]]) -> pl.DataFrame:
    """One row per closed chunk of a position (the ledger's profit rows)."""
    rows = []
    for row in profit_rows:
        out = {column: row[key] for key, column in _ROW_COLUMNS.items()}
        out["code"], out["entry_action"], out["exit_action"] = (
            str(row["code"]), str(row["entry_action"]), str(row["exit_action"]))
        out["side"] = "long" if out["entry_action"] == "Buy" else "short"
        out["entry_dt"] = local_datetime(row["entry_dt"])
        out["exit_dt"] = local_datetime(row["exit_dt"])
        rows.append(out)
    if not rows:
        return pl.DataFrame(schema=ROUND_TRIPS_SCHEMA)
    frame = pl.DataFrame(rows, infer_schema_length=None)
    return frame.select(pl.col(name).cast(kind) for name, kind in ROUND_TRIPS_SCHEMA.items())


def open_entries(positions) -> list[dict[str, Any]]:
    """The entries still open at the end, costed as the ledger costs an entry."""
    entries = []
    for code, book in positions.positions.items():
        product_type = positions.product_type_mapper.get(code, "Stock")
        for side in ("buy", "sell"):
            for entry in book.get(side, []):
                if not entry["quantity"]:
                    continue
                cost = positions._Positions__calculate_trade_cost(
                    code, entry["action"], entry["price"], entry["quantity"], str(product_type),
                    True, False)
                entries.append({
                    "code": code, "long": side == "buy", "dt": local_datetime(entry["exchange_ts"]),
                    "quantity": entry["quantity"], "units": float(cost["min_qty"]),
                    "raw_price": float(entry["price"]), "price": float(cost["price"]),
                    "cost": float(cost["fee"] + cost["tax"] + cost["fixed_cost"]),
                })
    return entries


def margined_codes(positions) -> set[str]:
    """Futures codes whose positions the installed market rules margin (none by default)."""
    table = getattr(getattr(positions, "_market_rules", None), "table", None)
    if table is None:
        return set()
    return {code for code, kind in positions.product_type_mapper.items()
            if str(kind) == "Future" and table.margined(code)}


def _events(round_trips: pl.DataFrame, still_open: list[dict[str, Any]],
            margined: set[str] = frozenset()) -> pl.DataFrame:
    """Position changes over time.

    Per open chunk, with s = +1 long / -1 short: units u_signed = s * units, basis
    b = s * entry_price * units + entry_cost, short_amount = entry_amount for a short.
    A chunk of a `margined` code (futures under market rules that reserve margin instead
    of paying the contract value) never moved its value through cash: its short_amount is
    0 and `margined_value` = s * entry_price * units, so that its position value is the
    unrealised profit. The exit undoes them and realises the chunk's profit.
    """
    schema = {"dt": pl.Datetime("us"), "code": pl.String, "price": pl.Float64,
              "units": pl.Float64, "basis": pl.Float64, "short_amount": pl.Float64,
              "margined_value": pl.Float64, "qty": pl.Int64, "realised": pl.Float64}
    parts = []
    if round_trips.height:
        sign = pl.when(pl.col("side") == "long").then(1.0).otherwise(-1.0)
        is_margined = pl.col("code").is_in(list(margined))
        units = sign * pl.col("units")
        basis = sign * pl.col("entry_price") * pl.col("units") + pl.col("entry_cost")
        short = pl.when((pl.col("side") == "short") & ~is_margined) \
            .then(pl.col("entry_amount")).otherwise(0.0)
        held = pl.when(is_margined).then(sign * pl.col("entry_price") * pl.col("units")) \
            .otherwise(0.0)
        parts.append(round_trips.select(
            pl.col("entry_dt").alias("dt"), "code", pl.col("entry_raw_price").alias("price"),
            units.alias("units"), basis.alias("basis"), short.alias("short_amount"),
            held.alias("margined_value"), pl.col("quantity").alias("qty"),
            pl.lit(0.0).alias("realised")))
        parts.append(round_trips.select(
            pl.col("exit_dt").alias("dt"), "code", pl.col("exit_raw_price").alias("price"),
            (-units).alias("units"), (-basis).alias("basis"), (-short).alias("short_amount"),
            (-held).alias("margined_value"), (-pl.col("quantity")).alias("qty"),
            pl.col("profit").alias("realised")))
    if still_open:
        rows = []
        for e in still_open:
            sign, value = (1 if e["long"] else -1), e["price"] * e["units"]
            carried = e["code"] in margined
            rows.append({
                "dt": e["dt"], "code": e["code"], "price": e["raw_price"],
                "units": sign * e["units"], "basis": sign * value + e["cost"],
                "short_amount": 0.0 if e["long"] or carried else value,
                "margined_value": sign * value if carried else 0.0,
                "qty": e["quantity"], "realised": 0.0,
            })
        parts.append(pl.DataFrame(rows, schema=schema))
    if not parts:
        return pl.DataFrame(schema=schema)
    return pl.concat([p.select(pl.col(n).cast(t) for n, t in schema.items()) for p in parts]) \
        .sort("dt", maintain_order=True)


def minute_closes(quote_manager) -> dict[str, pl.DataFrame]:
    """Per replayed code: the close at the end of each one-minute bar with trading
    (dt = bar start + 1 min). The quote store's gap-filling bars carry no volume: skipped."""
    closes = {}
    for code in list(quote_manager.ticks):
        bars = quote_manager.get_kbar(code, unit="m", freq=1).filter(pl.col("Volume") > 0)
        if bars.height:
            closes[code] = bars.select(
                (pl.col("dt").cast(pl.Datetime("us")) + MINUTE).alias("dt"),
                pl.col("Close").cast(pl.Float64).alias("price")).sort("dt")
    return closes


def equity_frame(closes: dict[str, pl.DataFrame], events: pl.DataFrame,
                 initial_capital: float) -> pl.DataFrame:
    """Rows at the end of every minute with trading and at every deal.

    equity_t = initial capital + realised_t + sum over codes (close_t * u_signed_t - b_t);
    position_value_t = sum over codes (close_t * u_signed_t - margined_value_t)
    + 2 * short_amount_t (a short paid its entry value out of cash and gets it back with its
    gain; a margined position is worth its unrealised profit); cash = equity - value.
    Costs are the profit rows' own: with a fixed cost per trade and an entry covered in
    several chunks, the curve counts that cost per chunk as the profit rows do.
    """
    parts = []
    minute_rows = [frame.select("dt") for frame in closes.values()]
    if minute_rows:
        parts.append(pl.concat(minute_rows).unique().with_columns(pl.lit("minute").alias("event")))
    if events.height:
        parts.append(events.select("dt").unique().with_columns(pl.lit("deal").alias("event")))
    if not parts:
        return pl.DataFrame(schema=EQUITY_SCHEMA)
    grid = pl.concat(parts).sort("dt", maintain_order=True)

    totals = events.select(
        "dt", pl.col("realised").cum_sum(), pl.col("short_amount").cum_sum(),
        pl.col("qty").cum_sum())
    rows = grid.join_asof(totals, on="dt", strategy="backward").fill_null(0)
    marked = pl.lit(0.0)
    for code in events["code"].unique().to_list():
        own = events.filter(pl.col("code") == code)
        state = own.select("dt", pl.col("units").cum_sum().alias(f"u_{code}"),
                           pl.col("basis").cum_sum().alias(f"b_{code}"),
                           pl.col("margined_value").cum_sum().alias(f"m_{code}"))
        # A minute's close before a deal at the same instant: the deal came after it.
        prices = pl.concat(([closes[code]] if code in closes else []) + [own.select("dt", "price")])
        prices = prices.sort("dt", maintain_order=True).rename({"price": f"p_{code}"})
        rows = rows.join_asof(state, on="dt", strategy="backward") \
                   .join_asof(prices, on="dt", strategy="backward") \
                   .with_columns(pl.col(f"u_{code}", f"b_{code}", f"m_{code}", f"p_{code}")
                                 .fill_null(0.0))
        marked = marked + pl.col(f"p_{code}") * pl.col(f"u_{code}") - pl.col(f"b_{code}")
        rows = rows.with_columns(
            (pl.col(f"p_{code}") * pl.col(f"u_{code}") - pl.col(f"m_{code}")).alias(f"v_{code}"))
    value_columns = [c for c in rows.columns if c.startswith("v_")]
    value = pl.sum_horizontal(value_columns) if value_columns else pl.lit(0.0)
    rows = rows.with_columns(
        (initial_capital + pl.col("realised") + marked).alias("equity"),
        (value + 2.0 * pl.col("short_amount")).alias("position_value"),
    ).with_columns((pl.col("equity") - pl.col("position_value")).alias("cash"))
    down, down_pct = metrics.drawdown(rows["equity"], initial_capital)
    rows = rows.with_columns(down.alias("drawdown"), down_pct.alias("drawdown_pct"),
                             pl.col("qty").alias("open_qty"))
    return rows.select(pl.col(n).cast(t) for n, t in EQUITY_SCHEMA.items())


def run_trading_days(start: str, end: str) -> list[dt.date]:
    """Trading days of the run's range by the package's calendar."""
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    return trading_days(first, last)


def trading_days_per_year(start: str, end: str) -> float:
    """Trading days per calendar year, averaged over the years of the run's range."""
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    years = range(first.year, max(first.year, last.year) + 1)
    return metrics.annualisation(
        years, lambda year: len(trading_days(dt.date(year, 1, 1), dt.date(year, 12, 31))))


def attach_results(result, context, start: str, end: str) -> None:
    """Set `trades`, `round_trips`, `equity` and `metrics` on `result` from the run's objects."""
    positions = context.positions
    round_trips = round_trips_frame(positions._profit_report["rows"])
    events = _events(round_trips, open_entries(positions), margined_codes(positions))
    initial = float(positions.initial_capital)
    result.trades = trades_frame(positions.trade_records)
    result.round_trips = round_trips
    result.equity = equity_frame(minute_closes(context.quote_manager), events, initial)
    days = run_trading_days(start, end)
    result.trading_days = len(days)
    result.metrics = metrics.compute_metrics(
        result.equity, round_trips, initial, days, trading_days_per_year(start, end))
