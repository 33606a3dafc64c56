"""Writes src/quarvel/static/holidays_search_from_2017.csv.

The file lists every weekday from 2017-01-01 on which the Taiwan Stock Exchange did not
trade, taken from exchange_calendars' "XTAI" calendar. The library is needed only here,
never at run time:

    pip install exchange_calendars
    python tools/make_holiday_calendar.py [--end-year YEAR] [--output PATH]

By default the file ends with the last whole calendar year the library covers: its last
session moves forward with the run date, and a partly covered year would miss closures.
"""

import argparse
import os
import tempfile
from pathlib import Path

import exchange_calendars as xcals
import pandas as pd

FIRST_DAY = "2017-01-01"
# Closures the library misses, each checked against the exchange's published schedule.
MISSING_CLOSURES = {
    # No trading, settlement only, before the 2023 Lunar New Year (TWSE 2023 schedule);
    # exchange_calendars 4.13 closes 01-19 and 01-20 but trades 01-18.
    "2023-01-18",
}
DEFAULT_OUTPUT = Path(__file__).resolve().parents[1] / "src/quarvel/static/holidays_search_from_2017.csv"


def closed_weekdays(end_year: int | None) -> list[str]:
    """Weekdays without a session, as "%Y-%m-%d" text, from FIRST_DAY to the end year."""
    calendar = xcals.get_calendar("XTAI", start=FIRST_DAY)
    last_session = calendar.last_session
    last_whole_year = last_session.year if (last_session.month, last_session.day) == (12, 31) else last_session.year - 1
    year = last_whole_year if end_year is None else end_year
    if year > last_whole_year:
        raise SystemExit(f"the calendar covers whole years only up to {last_whole_year}")
    weekdays = pd.bdate_range(FIRST_DAY, f"{year}-12-31")
    closed = weekdays[~weekdays.isin(calendar.sessions)]
    days = {day.strftime("%Y-%m-%d") for day in closed}
    days |= {day for day in MISSING_CLOSURES if FIRST_DAY <= day <= f"{year}-12-31"}
    return sorted(days)


def write_atomically(path: Path, text: str) -> None:
    """Writes the whole file next to its final place, then renames it over."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=path.parent, prefix=path.name, suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as handle:
            handle.write(text)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--end-year", type=int, default=None)
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    args = parser.parse_args()
    days = closed_weekdays(args.end_year)
    write_atomically(args.output, "Date\n" + "".join(f"{day}\n" for day in days))
    print(f"{len(days)} closed weekdays, {days[0]} to {days[-1]}, written to {args.output}")


if __name__ == "__main__":
    main()
