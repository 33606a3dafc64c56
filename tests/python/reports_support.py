"""Stand-ins and data builders shared by the report tests."""

import datetime as dt
import os

import polars as pl

from shared_data import SHARED_TICKS

TICKS = str(SHARED_TICKS / "TXFR1 2025-01-08 - ticks.csv")
HAVE_TICKS = os.path.exists(TICKS)  # real data is read in place, never copied here
KBAR_SCHEMA = {
    "dt": pl.Datetime("us"), "code": pl.Utf8, "Open": pl.Float64, "High": pl.Float64,
    "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64,
}


class QuoteStandIn:
    """Answers get_kbar from prepared tables, keyed by (code, unit); records every call.
    A code without ticks raises KeyError(code), as the quote manager does."""

    def __init__(self, tables=None):
        self.tables = dict(tables or {})
        self.calls = []

    def get_kbar(self, code, unit, freq, exprs=[], to_pandas_df=False):
        self.calls.append((code, unit, freq))
        if (code, unit) not in self.tables:
            raise KeyError(code)
        return self.tables[(code, unit)]


def kbars(rows, code="2330"):
    """A K-bar table from (datetime, open, high, low, close, volume) tuples."""
    return pl.DataFrame(
        [dict(zip(KBAR_SCHEMA, (when, code, *values))) for when, *values in rows],
        schema=KBAR_SCHEMA,
    )


def daily_closes(code, closes):
    """One-day K-bars with the given closes, keyed by date."""
    return kbars([(day, c, c, c, c, 1) for day, c in closes], code)


def real_minute_bars(code="TXFR1", start="2025-01-08 08:45", end="2025-01-08 13:45"):
    """One-minute bars of the real TAIEX futures ticks (exchange wall clock) in [start, end)."""
    lo, hi = (dt.datetime.fromisoformat(t) for t in (start, end))
    ticks = pl.read_csv(TICKS, columns=["ts", "close", "volume"])
    return (
        ticks.with_columns(pl.from_epoch("ts", time_unit="ns").alias("dt"))
        .filter(pl.col("dt").is_between(lo, hi, closed="left"))
        .with_columns(pl.col("dt").dt.truncate("1m"))
        .group_by("dt", maintain_order=True)
        .agg(
            pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
            pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
            pl.col("volume").sum().cast(pl.Int64).alias("Volume"),
        )
        .with_columns(pl.lit(code).alias("code"))
        .select(list(KBAR_SCHEMA))
        .with_columns(pl.col("dt").cast(pl.Datetime("us")))
        .sort("dt")
    )


def epoch(text):
    """Seconds since the epoch of a local wall-clock time "YYYY-MM-DD HH:MM:SS"."""
    return dt.datetime.fromisoformat(text).timestamp()


def profit_row(code="2330", entry="2024-01-02 09:01:37", exit="2024-01-02 10:15:02",
               entry_price=603.0, exit_price=607.0, qty=1, profit=454.75, action="Buy"):
    """A profit row with the ledger's 23 keys; prices are the slipped ones, the deal prices
    are 3 ticks better."""
    other = "Sell" if action == "Buy" else "Buy"
    return {
        "code": code, "entry_action": action, "entry_dt": epoch(entry),
        "entry_price": entry_price, "entry_origin_price": entry_price - 3.0,
        "exit_action": other, "exit_dt": epoch(exit), "exit_price": exit_price,
        "exit_origin_price": exit_price + 3.0, "qty": qty, "min_qty": qty * 1000,
        "trade_cost": 859.275, "cover_cost": 2685.975, "cover_cost_fee": 864.975,
        "cover_cost_tax": 1821.0, "cover_cost_fixed": 0, "trade_cost_fee": 859.275,
        "trade_cost_tax": 0, "trade_cost_fixed": 0, "profit": profit,
        "profit_ratio": profit / 603859.275, "entry_amount": entry_price * qty * 1000,
        "exit_amount": exit_price * qty * 1000,
    }
