"""Small broker doubles and stream helpers for the ticker tests."""

import datetime as dt
import json
import queue

import pytest

from quarvel.modules.ticker import ticker as ticker_module
from shared_data import HAVE_SHARED_TICKS, SHARED_TICKS

COLUMNS = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume",
           "tick_type")
PAST = "2024-01-02"  # any day before today
END = {"orva_status": "exit_send_tick"}


REAL_TICKS = str(SHARED_TICKS) if HAVE_SHARED_TICKS else None
BACKFILL_DONE = {"orva_status": "finish_backfilling"}


def broker_ns(day: str, seconds: int) -> int:
    """Broker time of `seconds` after midnight of `day` (wall clock read as UTC)."""
    base = dt.datetime.strptime(day, "%Y-%m-%d").replace(tzinfo=dt.timezone.utc)
    return (int(base.timestamp()) + seconds) * 1_000_000_000


def day_columns(day: str, rows: list[tuple]) -> dict:
    """The eight broker columns from (seconds, close, volume[, tick_type]) rows."""
    out = {name: [] for name in COLUMNS}
    for row in rows:
        seconds, close, volume = row[:3]
        out["ts"].append(broker_ns(day, seconds))
        out["close"].append(float(close))
        out["volume"].append(volume)
        out["bid_price"].append(float(close) - 1.0)
        out["bid_volume"].append(3)
        out["ask_price"].append(float(close) + 1.0)
        out["ask_volume"].append(4)
        out["tick_type"].append(row[3] if len(row) > 3 else 1)
    return out


class Contract:
    def __init__(self, code, kind):
        self.code, self.kind = code, kind


class Table:
    def __init__(self, codes, kind):
        self.codes, self.kind = codes, kind

    def __getitem__(self, code):
        if code not in self.codes:
            raise KeyError(code)
        return Contract(code, self.kind)


class FakeBroker:
    """Serves fixed days: days[(code, "YYYY-MM-DD")] = list of rows; other days are empty.

    `fail` maps (code, date) to an exception raised by ticks(); every call is recorded.
    """

    def __init__(self, days=None, codes=("2330", "2317", "TXFR1"), fail=None):
        self.days = days or {}
        self.fail = fail or {}
        self.calls = []
        self.Contracts = type("Contracts", (), {})()
        self.Contracts.Stocks = Table(set(codes), "Stock")
        self.Contracts.Futures = Table(set(codes), "Future")

    def __bool__(self):
        return True

    def ticks(self, contract, date):
        self.calls.append((contract.code, date))
        if (contract.code, date) in self.fail:
            raise self.fail[(contract.code, date)]
        return day_columns(date, self.days.get((contract.code, date), []))


class LogRecorder:
    def __init__(self):
        self.records = []

    def error(self, text):
        self.records.append(json.loads(text))


@pytest.fixture
def logged(monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(ticker_module, "logger", recorder)
    return recorder


def take(ticker, timeout=5.0):
    """pop_tick with a safety net: a stream that stalls fails the test instead of hanging."""
    q = ticker.tick_queue
    try:
        return q.get(timeout=timeout)
    except queue.Empty:
        pytest.fail("no item arrived in the tick queue")


def drain_stream(ticker, grant=True, limit=10_000):
    """Items up to and including the end-of-stream marker, granting a token after each tick."""
    items = []
    for _ in range(limit):
        item = take(ticker)
        items.append(item)
        if item == END:
            return items
        if grant and "orva_status" not in item:
            ticker.allow_next_tick()
    pytest.fail("stream did not end")


def shape(items):
    """A stream as letters: b backfilled tick, t main tick, B end of backfilling, E end."""
    out = []
    for item in items:
        if item == END:
            out.append("E")
        elif item == BACKFILL_DONE:
            out.append("B")
        else:
            out.append("b" if item["is_backfilling"] else "t")
    return "".join(out)
