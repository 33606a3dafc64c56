"""Tick builders and a polars reference for the quote manager tests and benchmark."""

from datetime import datetime

import polars as pl

import builders
from shared_data import SHARED_TICKS as TICK_DATA


def tick(when, close=100.0, qty=1, market="Stock", code="2330", simulate=False, tick_type=1):
    """A playback tick dict at the naive local time `when` ("YYYY-mm-dd HH:MM:SS[.ffffff]")."""
    moment = datetime.fromisoformat(when) if isinstance(when, str) else when
    return builders.tick(code, moment.timestamp(), close, qty, market, tick_type, simulate)


def reference_kbars(ticks: pl.DataFrame, every: str) -> pl.DataFrame:
    """K-bars of a tick table computed with polars alone: truncate, group, sort."""
    close = pl.col("close")
    return (
        ticks.with_columns(pl.col("dt").dt.truncate(every).alias("kbar_time"))
        .group_by(["kbar_time", "code"], maintain_order=True)
        .agg(close.first().alias("Open"), close.max().alias("High"), close.min().alias("Low"),
             close.last().alias("Close"), pl.col("qty").sum().alias("Volume"))
        .rename({"kbar_time": "dt"})
        .sort("dt", maintain_order=True)
    )


def futures_files():
    return sorted(TICK_DATA.glob("TXFR1 *.csv")) if TICK_DATA.is_dir() else []


def futures_ticks(path, code="TXFR1"):
    """Playback tick dicts of one futures file. Its `ts` is the Taipei wall clock read as
    UTC, so the naive local time of each tick is that wall clock whatever the host zone."""
    table = pl.read_csv(path).with_columns(pl.from_epoch("ts", time_unit="ns").alias("wall"))
    out = []
    columns = table.select("wall", "close", "volume", "tick_type")
    for wall, close, volume, tick_type in columns.iter_rows():
        out.append({
            "market_type": "Future", "timestamp": wall.timestamp(), "code": code,
            "close": close, "qty": volume, "tick_type": tick_type, "is_simulate": False,
            "is_backfilling": False,
        })
    return out
