"""quarvel's one-minute grid for the peers, so that every system sees the same closes.

quarvel's quote store (the bars behind `get_kbar`) differs from a plain bucketing of trades
in two ways, both reproduced here on the tick files' own clock (Taiwan wall time read as UTC):
- a futures tick inside a closed window (13:45:00-14:59:59, 05:00:00-08:44:59) is moved to
  one second before the window, so the closing ticks fall into the 13:44 and 04:59 bars;
- minutes without trades while the market is open (weekdays, no holiday, outside the closed
  windows) become flat bars at the previous close, also across days missing from the files.
"""

from __future__ import annotations

import csv
from pathlib import Path

NS_PER_S = 1_000_000_000
NS_PER_MIN = 60 * NS_PER_S
NS_PER_DAY = 86_400 * NS_PER_S
HOLIDAYS_CSV = (Path(__file__).resolve().parents[2] / "src" / "quarvel" / "static"
                / "holidays_search_from_2017.csv")


def _hms(h: int, m: int, s: int) -> int:
    return (h * 3600 + m * 60 + s) * NS_PER_S


FUTURE_WINDOWS = ((_hms(13, 45, 0), _hms(14, 59, 59)), (_hms(5, 0, 0), _hms(8, 44, 59)))
NIGHT_END = _hms(5, 0, 0)


def _in_window(time_of_day: int) -> tuple[int, int] | None:
    for start, end in FUTURE_WINDOWS:
        if start <= time_of_day <= end:
            return start, end
    return None


def adjust_tick_ns(ts: int) -> int:
    """A futures tick time moved out of a closed window, as quarvel stores it."""
    day, time_of_day = divmod(ts, NS_PER_DAY)
    window = _in_window(time_of_day)
    if window is None:
        return ts
    return day * NS_PER_DAY + window[0] - NS_PER_S + time_of_day % NS_PER_S


class MinuteGrid:
    """The open minutes strictly between two traded minutes (minute numbers since the epoch)."""

    def __init__(self, holidays_csv: Path = HOLIDAYS_CSV) -> None:
        with open(holidays_csv, newline="", encoding="utf-8") as handle:
            self.holidays = {_day_number(row["Date"]) for row in csv.DictReader(handle)}

    def is_open(self, minute: int) -> bool:
        day, time_of_day = divmod(minute * NS_PER_MIN, NS_PER_DAY)
        night = time_of_day <= NIGHT_END
        if (day - 1 if night else day) % 7 in (2, 3):  # Saturday, Sunday (day 0 was a Thursday)
            return False
        if _in_window(time_of_day) is not None:
            return False
        return (day - 1 if night else day) not in self.holidays

    def missing(self, last_minute: int, minute: int) -> list[int]:
        if minute - last_minute <= 1:
            return []
        return [m for m in range(last_minute + 1, minute) if self.is_open(m)]


def _day_number(text: str) -> int:
    import datetime as dt

    return (dt.date.fromisoformat(text) - dt.date(1970, 1, 1)).days


def store_ticks(rows: list[tuple[int, float, int]]) -> list[tuple[int, float, int]]:
    """The ticks with quarvel's window adjustment, kept in file order (times never go back)."""
    out, last = [], None
    for ts, price, size in rows:
        ts = adjust_tick_ns(ts)
        if last is not None and ts < last:
            ts = last
        out.append((ts, price, size))
        last = ts
    return out


def reference_closes(rows: list[tuple[int, float, int]]) -> list[float]:
    """The completed one-minute closes quarvel's quote store gives for these ticks."""
    grid, closes = MinuteGrid(), []
    minute = price = None
    for ts, tick_price, _ in store_ticks(rows):
        now = ts // NS_PER_MIN
        if now != minute and minute is not None:
            closes.append(price)
            closes.extend([price] * len(grid.missing(minute, now)))
        minute, price = now, tick_price
    return closes
