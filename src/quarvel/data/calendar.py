"""The Taiwan trading calendar: which days trade, and which times belong to a trading day."""

from __future__ import annotations

import datetime as dt
import functools
import os

import polars as pl

HOLIDAYS_FILE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "static",
                             "holidays_search_from_2017.csv")
NS = 1_000_000_000
_EPOCH = dt.date(1970, 1, 1)


@functools.lru_cache(maxsize=4)
def load_holidays(path: str = HOLIDAYS_FILE) -> frozenset[str]:
    """Closed weekdays ("YYYY-MM-DD") of the package's calendar; none when it is absent."""
    if not os.path.exists(path):
        return frozenset()
    return frozenset(pl.read_csv(path, has_header=True)["Date"].cast(pl.String).to_list())


def is_trading_day(day: dt.date, holidays: frozenset[str] | None = None) -> bool:
    closed = load_holidays() if holidays is None else holidays
    return day.weekday() < 5 and day.isoformat() not in closed


def previous_trading_day(day: dt.date, holidays: frozenset[str] | None = None) -> dt.date:
    day -= dt.timedelta(days=1)
    while not is_trading_day(day, holidays):
        day -= dt.timedelta(days=1)
    return day


def trading_days(start: dt.date, end: dt.date,
                 holidays: frozenset[str] | None = None) -> list[dt.date]:
    """Trading days from `start` to `end`, both included."""
    days, day = [], start
    while day <= end:
        if is_trading_day(day, holidays):
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def wall_clock_ns(day: dt.date, hour: int, minute: int = 0) -> int:
    """Tick time of a Taiwan wall-clock moment: the wall clock read as UTC, in nanoseconds."""
    return (((day - _EPOCH).days * 24 + hour) * 60 + minute) * 60 * NS


def session_bounds(day: dt.date, market: str,
                   holidays: frozenset[str] | None = None) -> tuple[int, int]:
    """[first, end) tick times of one trading day as the market counts it.

    Stocks: the calendar day itself. Futures: from 15:00 of the previous trading day
    (across any closure in between) to the end of the day session at 13:45, with the
    last trades printed within that minute.
    """
    if market == "Stock":
        return wall_clock_ns(day, 0), wall_clock_ns(day + dt.timedelta(days=1), 0)
    evening = previous_trading_day(day, holidays)
    return wall_clock_ns(evening, 15), wall_clock_ns(day, 13, 46)
