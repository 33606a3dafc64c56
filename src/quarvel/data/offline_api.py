"""A stand-in for the broker's API object, for demos, tests and offline backtests.

`OfflineAPI` offers exactly what `Ticker` uses of a logged-in broker session:
it is truthy, it has `Contracts.Stocks[code]` and `Contracts.Futures[code]`
(`KeyError` for an unknown code), and `ticks(contract=..., date="YYYY-MM-DD")`
returns one day as a mapping of the eight tick columns.

Days come either from a folder of tick files in the cache's own format
("CODE YYYY-MM-DD - ticks.csv"), or, when no folder is given, from a seeded synthetic
market: the same seed, code and day always give the same ticks. A folder is never mixed
with the synthetic market: a code without files there is unknown, and a day without a
file raises `FileNotFoundError`.
"""

from __future__ import annotations

import datetime as dt
import math
import os
import random
from dataclasses import dataclass

import polars as pl

from quarvel.data import calendar
from quarvel.data.calendar import load_holidays

COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume",
           "ask_price", "ask_volume", "tick_type")
FLOAT_COLUMNS = ("close", "bid_price", "ask_price")
FILE_SUFFIX = " - ticks.csv"

# tick_type as the broker codes it: trade at the ask, at the bid, or unknown (auctions).
BUY_SIDE, SELL_SIDE, NO_SIDE = 1, 2, 0

DEFAULT_STOCKS = {"2330": 580.0, "2317": 105.0, "2454": 920.0, "0050": 135.0, "2884": 27.5}
DEFAULT_FUTURES = {"TXFR1": 17500.0, "MXFR1": 17500.0, "TMFR1": 17500.0}

_EPOCH = dt.date(1970, 1, 1)
_NS = 1_000_000_000


@dataclass(frozen=True)
class Contract:
    """What a contract lookup returns: enough to ask for its ticks."""

    code: str
    security_type: str  # "STK" or "FUT"


class _ContractTable:
    def __init__(self, codes: set[str], security_type: str) -> None:
        self._codes = codes
        self._security_type = security_type

    def __getitem__(self, code: str) -> Contract:
        if code not in self._codes:
            raise KeyError(code)
        return Contract(code, self._security_type)

    def __contains__(self, code: object) -> bool:
        return code in self._codes

    def __iter__(self):
        return iter(sorted(self._codes))


class _Contracts:
    def __init__(self, stocks: set[str], futures: set[str]) -> None:
        self.Stocks = _ContractTable(stocks, "STK")
        self.Futures = _ContractTable(futures, "FUT")


def stock_tick_size(price: float) -> float:
    """Taiwan stock price step for a price level."""
    for limit, step in ((10, 0.01), (50, 0.05), (100, 0.1), (500, 0.5), (1000, 1.0)):
        if price < limit:
            return step
    return 5.0


class OfflineAPI:
    """Broker stand-in: ticks from a folder of cache-format files, or a synthetic market.

    tick_dir   folder of "CODE YYYY-MM-DD - ticks.csv" files served as they are; it must
               exist. A code with files there is known as a stock and as a future, and
               the synthetic market is off. None: the synthetic market.
    seed       seed of the synthetic market.
    stocks     synthetic stock codes with their reference prices.
    futures    synthetic index-futures codes with their reference prices.
    ticks_per_minute  average trade count per session minute of a synthetic day.
    holidays   closed weekdays as "YYYY-MM-DD"; default: the package's holiday calendar.
    """

    def __init__(self, tick_dir: str | None = None, seed: int = 0,
                 stocks: dict[str, float] | None = None,
                 futures: dict[str, float] | None = None,
                 ticks_per_minute: float = 20.0,
                 holidays: set[str] | None = None) -> None:
        if tick_dir is not None and not os.path.isdir(tick_dir):
            raise FileNotFoundError(f"tick folder {tick_dir!r} does not exist")
        self.tick_dir = tick_dir
        self.seed = seed
        self.stocks = dict(DEFAULT_STOCKS if stocks is None else stocks)
        self.futures = dict(DEFAULT_FUTURES if futures is None else futures)
        self.ticks_per_minute = ticks_per_minute
        self.holidays = frozenset(load_holidays() if holidays is None else holidays)
        self.file_codes = self._codes_in_folder()
        if tick_dir is None:
            self.Contracts = _Contracts(set(self.stocks), set(self.futures))
        else:
            self.Contracts = _Contracts(self.file_codes, self.file_codes)
        self.calls: list[tuple[str, str]] = []  # (code, date) of every ticks() call

    def __bool__(self) -> bool:
        return True

    def ticks(self, contract: Contract, date: str) -> dict[str, list]:
        """One trading day of `contract` as the eight tick columns."""
        self.calls.append((contract.code, date))
        day = dt.datetime.strptime(date, "%Y-%m-%d").date()
        if self.tick_dir is not None:
            return self._file_day(contract.code, date)
        if not self.is_trading_day(day):
            return {name: [] for name in COLUMNS}
        if contract.security_type == "STK":
            return self._synthetic_stock_day(contract.code, day)
        return self._synthetic_futures_day(contract.code, day)

    # ---- calendar -------------------------------------------------------------------
    def is_trading_day(self, day: dt.date) -> bool:
        return calendar.is_trading_day(day, self.holidays)

    def previous_trading_day(self, day: dt.date) -> dt.date:
        return calendar.previous_trading_day(day, self.holidays)

    # ---- files ----------------------------------------------------------------------
    def _codes_in_folder(self) -> set[str]:
        if self.tick_dir is None:
            return set()
        return {name[:-len(FILE_SUFFIX)].rsplit(" ", 1)[0]
                for name in os.listdir(self.tick_dir) if name.endswith(FILE_SUFFIX)}

    def _file_day(self, code: str, date: str) -> dict[str, list]:
        path = os.path.join(self.tick_dir, f"{code} {date}{FILE_SUFFIX}")
        if not os.path.exists(path):
            raise FileNotFoundError(f"no tick file {path!r} in the tick folder")
        schema = {name: pl.Float64 if name in FLOAT_COLUMNS else pl.Int64 for name in COLUMNS}
        return pl.read_csv(path, schema=schema).to_dict(as_series=False)

    # ---- synthetic market -----------------------------------------------------------
    def _rng(self, code: str, day: dt.date) -> random.Random:
        # str seeds hash with SHA-512, so runs are reproducible whatever PYTHONHASHSEED is.
        return random.Random(f"{self.seed}|{code}|{day.isoformat()}")

    def _reference_price(self, code: str, base: float, day: dt.date) -> float:
        """A slow deterministic drift of the day's reference price around `base`."""
        days = (day - _EPOCH).days
        phase = self._rng(code, _EPOCH).random() * 2 * math.pi
        return base * (1 + 0.08 * math.sin(days / 45 + phase) + 0.02 * math.sin(days / 7))

    def _synthetic_stock_day(self, code: str, day: dt.date) -> dict[str, list]:
        rng = self._rng(code, day)
        reference = self._reference_price(code, self.stocks[code], day)
        step = stock_tick_size(reference)
        price = round(round(reference / step) * step, 2)
        low, high = price * 0.9, price * 1.1  # daily price limits
        columns = {name: [] for name in COLUMNS}
        session = _session_ns(day, dt.time(9, 0), dt.time(13, 25))
        for ts in self._arrivals(rng, *session):
            price, side = _walk(rng, price, stock_tick_size(price), low, high)
            _append(columns, ts, price, _lots(rng), side, stock_tick_size(price), rng)
        # Closing auction: one larger trade at 13:30:00 with no trade side.
        close_ts = _session_ns(day, dt.time(13, 30), dt.time(13, 30))[0]
        _append(columns, close_ts, price, _lots(rng) * rng.randint(20, 200), NO_SIDE,
                stock_tick_size(price), rng)
        return columns

    def _synthetic_futures_day(self, code: str, day: dt.date) -> dict[str, list]:
        """Night session from the previous trading day's 15:00 to 05:00, then 08:45-13:45."""
        rng = self._rng(code, day)
        price = float(round(self._reference_price(code, self.futures[code], day)))
        low, high = price * 0.9, price * 1.1
        evening = self.previous_trading_day(day)
        night_start = _session_ns(evening, dt.time(15, 0), dt.time(15, 0))[0]
        night = (night_start, night_start + 14 * 3600 * _NS)
        sessions = (night, _session_ns(day, dt.time(8, 45), dt.time(13, 45)))
        columns = {name: [] for name in COLUMNS}
        for index, (start, end) in enumerate(sessions):
            # The day session trades more than the night session.
            for ts in self._arrivals(rng, start, end, 0.4 if index == 0 else 1.0):
                price, side = _walk(rng, price, 1.0, low, high)
                _append(columns, ts, price, max(1, int(rng.expovariate(1 / 3))), side, 1.0, rng)
        return columns

    def _arrivals(self, rng: random.Random, start: int, end: int,
                  activity: float = 1.0) -> list[int]:
        """Sorted trade times (ns, whole microseconds) spread over [start, end)."""
        minutes = (end - start) / (60 * _NS)
        count = max(1, int(rng.gauss(1, 0.1) * self.ticks_per_minute * minutes * activity))
        span_us = (end - start) // 1000
        return sorted(start + rng.randrange(span_us) * 1000 for _ in range(count))


def _session_ns(day: dt.date, begin: dt.time, end: dt.time) -> tuple[int, int]:
    """Broker time (Taiwan wall clock read as UTC, in ns) of a session's bounds."""
    base = (day - _EPOCH).days * 86400
    return ((base + begin.hour * 3600 + begin.minute * 60) * _NS,
            (base + end.hour * 3600 + end.minute * 60) * _NS)


def _walk(rng: random.Random, price: float, step: float, low: float,
          high: float) -> tuple[float, int]:
    """Next trade price on the grid (at most one step) and its trade side."""
    move = rng.choices((-1, 0, 1), weights=(3, 4, 3))[0]
    new = round(price + move * step, 2)
    if not low <= new <= high:
        new, move = price, 0
    side = BUY_SIDE if move > 0 else SELL_SIDE if move < 0 else rng.choice((BUY_SIDE, SELL_SIDE))
    return new, side


def _lots(rng: random.Random) -> int:
    """Trade size in lots: mostly small, now and then a large block."""
    return max(1, int(rng.paretovariate(1.6)))


def _append(columns: dict[str, list], ts: int, price: float, volume: int, side: int,
            step: float, rng: random.Random) -> None:
    at_ask = side != SELL_SIDE
    columns["ts"].append(ts)
    columns["close"].append(price)
    columns["volume"].append(volume)
    columns["bid_price"].append(round(price - step, 2) if at_ask else price)
    columns["bid_volume"].append(rng.randint(1, 80))
    columns["ask_price"].append(price if at_ask else round(price + step, 2))
    columns["ask_volume"].append(rng.randint(1, 80))
    columns["tick_type"].append(side)
