"""The matcher booking fills and cancellations into the real Positions ledger."""

import datetime

import pytest

from matcher_support import drain, place, tick
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions.positions import Positions

TS = 1700000000.25


@pytest.fixture
def books(printed):
    ledger = Positions()
    return Matcher(ledger), ledger


def record_dt(ts):
    return datetime.datetime.fromtimestamp(ts).strftime("%Y-%m-%d %H:%M:%S.%f")


def test_fill_then_ioc_cover_with_cancelled_rest(books):
    m, ledger = books
    m.set_current_tick(tick(ts=TS, close=600.0))
    buy = place(m, qty=1, price=600.0)
    m.match_deal("2330", 600.0, 5, TS)
    [entry] = ledger.positions["2330"]["buy"]
    assert (entry["quantity"], entry["price"], entry["exchange_ts"]) == (1, 600.0, TS)
    assert entry["trade_id"] == buy["trade_id"] and entry is not buy

    sell = place(m, qty=3, price=600.0, order_type="IOC", action="Sell")
    m.match_deal("2330", 600.0, 1, TS + 1)
    assert ledger.positions["2330"] == {"buy": [], "sell": []}
    assert [(r["trade_id"], r["trade_status"], r["quantity"]) for r in ledger.trade_records] == [
        (buy["trade_id"], "Deal", 1), (sell["trade_id"], "Deal", 1),
        (sell["trade_id"], "Cancel", 2)]
    # the cancel record carries the current tick's time, the deal the matching time
    assert ledger.trade_records[1]["dt"] == record_dt(TS + 1)
    assert ledger.trade_records[2]["dt"] == record_dt(TS)
    assert ledger._account_infos["2330"]["cover_times"] == 1
    assert m.pending_orders == []
    assert [("exchange_seqno" in r) for r in drain(m)] == [False, True, False, True, False]


def test_cancel_of_a_code_without_tick_info_is_recorded(books):
    m, ledger = books
    fok = place(m, code="TXF", product_type="Future", qty=4, order_type="FOK")
    m.match_deal("TXF", 100.0, 1, TS)
    [record] = ledger.trade_records
    assert (record["trade_id"], record["trade_status"], record["quantity"]) == (
        fok["trade_id"], "Cancel", 4)
    assert record["dt"] == record_dt(TS)
    assert m.pending_orders == [] and ledger.positions == {}
