"""One rule set for a day of ticks, applied wherever a day is loaded (cache, folder, broker).

A day is sound when it has the eight columns with their types, no missing value, every
`ts` inside the trading day as the market counts it, finite prices (the trade price > 0,
quotes >= 0 since some sources leave them 0) and volumes >= 0, and at least one tick.
"""

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
HEADER = ",".join(TICK_SCHEMA)


@dataclass(frozen=True)
class TickFault:
    """The first rule a day breaks: `row` counts data rows from 1 (None: the whole file)."""

    rule: str
    row: int | None = None
    path: str | None = None

    def describe(self) -> str:
        """The row and the rule, without the path."""
        return self.rule if self.row is None else f"row {self.row}: {self.rule}"

    def __str__(self) -> str:
        return f"{self.path}: {self.describe()}" if self.path else self.describe()


def _first_rows(frame: pl.DataFrame, conditions: list[pl.Expr]) -> list[int | None]:
    """For each condition, the first row (from 1) where it holds, or None: one pass."""
    hits = frame.select(pl.arg_where(c).first().alias(str(i))
                        for i, c in enumerate(conditions)).row(0)
    return [None if hit is None else int(hit) + 1 for hit in hits]


def _ns_text(ns: int) -> str:
    return (dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ns // 1000)).isoformat(" ")


def check_ticks(frame: pl.DataFrame, day: dt.date | str, market: str) -> TickFault | None:
    """The first broken rule of `frame` as the ticks of `day` for `market`, or None."""
    columns = [c for c in frame.columns if c != "code"]
    if columns != list(TICK_SCHEMA):
        return TickFault(f"columns {columns} are not {list(TICK_SCHEMA)}")
    for name, dtype in TICK_SCHEMA.items():
        if frame.schema[name] != dtype and frame.height:
            return TickFault(f"column {name} is {frame.schema[name]}, not {dtype}")
    if frame.height == 0:
        return TickFault("no ticks on a trading day (header only)")
    first, end = session_bounds(day, market)
    close = pl.col("close")
    # In the order they are reported: the first rule broken wins.
    rules = [(pl.any_horizontal(pl.all().is_null()), "missing value (a cut or malformed line)"),
             ((pl.col("ts") < first) | (pl.col("ts") >= end), None),
             (~close.is_finite() | (close <= 0), "close is not a finite price > 0")]
    rules += [(~pl.col(name).is_finite() | (pl.col(name) < 0), f"{name} is not finite >= 0")
              for name in ("bid_price", "ask_price")]
    rules += [(pl.col(name) < 0, f"{name} is negative")
              for name in ("volume", "bid_volume", "ask_volume")]
    for row, (_condition, rule) in zip(_first_rows(frame, [c for c, _ in rules]), rules):
        if row is None:
            continue
        if rule is None:
            ts = frame["ts"][row - 1]
            rule = (f"ts {ts} ({_ns_text(ts)}) is outside the trading day "
                    f"{_ns_text(first)} to {_ns_text(end)}")
        return TickFault(rule, row)
    return None


def read_and_check(path: str, day: dt.date | str,
                   market: str) -> tuple[pl.DataFrame | None, TickFault | None]:
    """Reads one cache-format file and checks it: (frame, None) or (None, fault with path)."""
    try:
        with open(path, "rb") as handle:
            header = handle.readline().rstrip(b"\r\n").decode("utf-8", "replace")
            handle.seek(0, 2)
            size = handle.tell()
            handle.seek(max(size - 1, 0))
            last = handle.read(1)
        if header != HEADER:
            return None, TickFault(f"header {header!r} is not {HEADER!r}", None, path)
        if last != b"\n":
            return None, TickFault("the file does not end with a line break (cut short)",
                                   None, path)
        frame = pl.read_csv(path, schema=TICK_SCHEMA)
    except (OSError, pl.exceptions.PolarsError) as error:
        text = str(error).strip()
        first_line = text.splitlines()[0] if text else type(error).__name__
        return None, TickFault(f"unreadable: {first_line}", None, path)
    fault = check_ticks(frame, day, market)
    if fault is not None:
        return None, TickFault(fault.rule, fault.row, path)
    return frame, None
