"""The Taiwan trading calendar: which days trade, and which broker times belong to a day."""

from __future__ import annotations

import datetime as dt
import functools
import os

import polars as pl

HOLIDAYS_FILE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "static",
                             "holidays_search_from_2017.csv")
_EPOCH = dt.date(1970, 1, 1)
_NS = 1_000_000_000
# The night session opens at 15:00 of the previous trading day; the day session closes at
# 13:45, and its closing trade may carry any time within that minute.
FUTURES_NIGHT_OPEN = dt.time(15, 0)
FUTURES_DAY_CLOSE = dt.time(13, 46)


@functools.lru_cache(maxsize=4)
def load_holidays(path: str = HOLIDAYS_FILE) -> frozenset[str]:
    """Closed weekdays ("YYYY-MM-DD") from the package's calendar; none when it is absent."""
    if not os.path.exists(path):
        return frozenset()
    return frozenset(pl.read_csv(path, has_header=True)["Date"].cast(pl.String).to_list())


def last_covered_year(holidays: frozenset[str] | None = None) -> int | None:
    """The last year the holiday list covers; later closures are unknown."""
    holidays = load_holidays() if holidays is None else holidays
    return max((int(day[:4]) for day in holidays), default=None)


def _as_date(day: dt.date | str) -> dt.date:
    if isinstance(day, str):
        return dt.datetime.strptime(day[:10], "%Y-%m-%d").date()
    return day


def is_trading_day(day: dt.date | str, holidays: frozenset[str] | None = None) -> bool:
    day = _as_date(day)
    holidays = load_holidays() if holidays is None else holidays
    return day.weekday() < 5 and day.isoformat() not in holidays


def previous_trading_day(day: dt.date | str,
                         holidays: frozenset[str] | None = None) -> dt.date:
    day = _as_date(day) - dt.timedelta(days=1)
    while not is_trading_day(day, holidays):
        day -= dt.timedelta(days=1)
    return day


def trading_days(start: dt.date | str, end: dt.date | str,
                 holidays: frozenset[str] | None = None) -> list[dt.date]:
    """Trading days from `start` to `end`, both included (empty when start > end)."""
    day, last = _as_date(start), _as_date(end)
    days = []
    while day <= last:
        if is_trading_day(day, holidays):
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def broker_ns(day: dt.date, at: dt.time) -> int:
    """Broker time of a wall-clock moment: Taiwan wall clock read as UTC, in ns."""
    seconds = (day - _EPOCH).days * 86400 + at.hour * 3600 + at.minute * 60 + at.second
    return seconds * _NS


def session_bounds(day: dt.date | str, market: str,
                   holidays: frozenset[str] | None = None) -> tuple[int, int]:
    """[first, end) broker times of the ticks of one trading day as the market counts it.

    Stocks: the calendar day itself. Futures: from 15:00 of the previous trading day, across
    any closure in between, to the end of the day session.
    """
    day = _as_date(day)
    if market == "Future":
        evening = previous_trading_day(day, holidays)
        return broker_ns(evening, FUTURES_NIGHT_OPEN), broker_ns(day, FUTURES_DAY_CLOSE)
    return broker_ns(day, dt.time(0)), broker_ns(day + dt.timedelta(days=1), dt.time(0))
