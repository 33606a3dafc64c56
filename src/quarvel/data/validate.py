"""One rule set for every tick cache file: checked once per code-day, before any replay."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass

import polars as pl

from quarvel.data.calendar import session_bounds

TICK_SCHEMA = {
    "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
    "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}


@dataclass(frozen=True)
class TickFault:
    """Why a day's ticks cannot be replayed: the first broken rule, and where."""

    rule: str
    row: int | None = None  # 1-based data row (the header is row 0); None for the whole file

    def describe(self) -> str:
        return self.rule if self.row is None else f"row {self.row}: {self.rule}"


def _first_row(mask: pl.Series) -> int | None:
    hits = mask.arg_true()
    return int(hits[0]) + 1 if len(hits) else None


def check_ticks(frame: pl.DataFrame, day: str, market: str) -> TickFault | None:
    """The first rule `frame` breaks as one trading day `day` of a `market` code, or None.

    Rules: the eight columns in order with their types; at least one tick; every `ts`
    inside the trading day (see `session_bounds`); `close` finite and > 0; bid and ask
    prices finite and >= 0; volumes >= 0.
    """
    if list(frame.schema.items()) != list(TICK_SCHEMA.items()):
        return TickFault(f"columns must be {', '.join(TICK_SCHEMA)} with types "
                         f"{', '.join(str(t) for t in TICK_SCHEMA.values())}")
    if frame.height == 0:
        return TickFault("no ticks on a trading day")
    null_row = _first_row(frame.select(pl.any_horizontal(pl.all().is_null())).to_series())
    if null_row is not None:
        return TickFault("empty value", null_row)
    first, end = session_bounds(dt.date.fromisoformat(day), market)
    checks = (
        ((pl.col("ts") < first) | (pl.col("ts") >= end), f"ts outside the trading day {day}"),
        (~pl.col("close").is_finite() | (pl.col("close") <= 0), "close must be finite and > 0"),
        (~pl.col("bid_price").is_finite() | (pl.col("bid_price") < 0)
         | ~pl.col("ask_price").is_finite() | (pl.col("ask_price") < 0),
         "bid and ask prices must be finite and >= 0"),
        ((pl.col("volume") < 0) | (pl.col("bid_volume") < 0) | (pl.col("ask_volume") < 0),
         "volumes must be >= 0"),
    )
    broken = frame.select(expr.alias(str(i)) for i, (expr, _) in enumerate(checks))
    for i, (_, rule) in enumerate(checks):
        row = _first_row(broken[str(i)])
        if row is not None:
            return TickFault(rule, row)
    return None


def read_and_check(path: str, day: str, market: str) -> tuple[pl.DataFrame | None, TickFault | None]:
    """Read a cache file and check it: (frame, None) when valid, (None, fault) otherwise."""
    try:
        frame = pl.read_csv(path, schema=TICK_SCHEMA, has_header=True)
    except (pl.exceptions.PolarsError, OSError, UnicodeDecodeError) as error:
        return None, TickFault(f"unreadable: {str(error).splitlines()[0]}")
    fault = check_ticks(frame, day, market)
    return (None, fault) if fault else (frame, None)
