"""A recording stand-in ledger and order helpers shared by the matcher tests."""

import queue
from pathlib import Path

import pytest

from quarvel.modules.matcher.matcher import Matcher

from builders import tick  # noqa: F401  (the matcher tests import it from here)


class RecordingLedger:
    """Stands in for Positions: records every call the matcher makes, in order."""

    def __init__(self):
        self.calls = []

    def set_current_tick(self, tick):
        self.calls.append(("set_current_tick", tick))

    def add_trade_record(self, *, trade_id, code, action, quantity, price, timestamp,
                         trade_status):
        self.calls.append(("add_trade_record", dict(
            trade_id=trade_id, code=code, action=action, quantity=quantity, price=price,
            timestamp=timestamp, trade_status=trade_status)))

    def set_positions(self, trade, product_type):
        self.calls.append(("set_positions", trade, product_type))

    def named(self, name):
        return [call[1:] for call in self.calls if call[0] == name]


def drain(m):
    """Every report queued so far, oldest first."""
    out = []
    while True:
        try:
            out.append(m.response_queue.get_nowait())
        except queue.Empty:
            return out




def place(m, qty=5, price=100.0, order_type="ROD", action="Buy", code="2330",
          product_type="Stock", price_type="LMT"):
    """Adds an order and returns its record, leaving the queue with its NEW report."""
    m.add_order(code, product_type, action, price, qty, price_type, order_type)
    return m.pending_orders[-1]


@pytest.fixture
def ledger():
    return RecordingLedger()


@pytest.fixture
def matcher(ledger, printed):
    return Matcher(ledger)


def package_root() -> str:
    """The folder that holds the imported quarvel package (src/ or site-packages), for
    subprocesses that must import the same build."""
    import quarvel

    return str(Path(quarvel.__file__).resolve().parents[1])
