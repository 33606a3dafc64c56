"""Matching a tick against resting orders: price test, ROD / IOC / FOK and order of effects."""

import pytest

from matcher_support import drain, ledger, matcher, place, tick  # noqa: F401
from quarvel.constant import OperationType

TS = 1700000123.5


def kinds(reports):
    """'deal <qty>' or 'cancel <qty>' per report, in queue order."""
    return [f"deal {r['quantity']}" if "exchange_seqno" in r else
            f"{r['operation_type'].value.lower()} {r['order']['quantity']}" for r in reports]


def ledger_story(ledger):
    out = []
    for name, *args in ledger.calls:
        if name == "add_trade_record":
            out.append(f"{args[0]['trade_status']} {args[0]['quantity']}")
        elif name == "set_positions":
            out.append(f"position {args[0]['quantity']}")
    return out


@pytest.fixture
def ticked(matcher):
    matcher.set_current_tick(tick(ts=TS - 1))
    matcher.positions.calls.clear()
    return matcher


# Every row of the outcome table: (type, limit, qty, tick close, volume) -> reports, resting
@pytest.mark.parametrize("order_type, qty, close, volume, reports, resting", [
    ("ROD", 5, 100.5, 9, [], 5),
    ("ROD", 5, 100.0, 9, ["deal 5"], None),
    ("ROD", 5, 99.0, 3, ["deal 3"], 2),
    ("IOC", 8, 100.5, 9, ["cancel 8"], None),
    ("IOC", 8, 99.0, 9, ["deal 8"], None),
    ("IOC", 8, 100.0, 5, ["deal 5", "cancel 3"], None),
    ("FOK", 5, 100.0, 5, ["deal 5"], None),
    ("FOK", 8, 100.0, 5, ["cancel 8"], None),
    ("FOK", 5, 100.5, 9, ["cancel 5"], None),
])
def test_outcome_table(ticked, ledger, order_type, qty, close, volume, reports, resting):
    record = place(ticked, qty=qty, price=100.0, order_type=order_type)
    drain(ticked)
    ticked.match_deal("2330", close, volume, TS)
    assert kinds(drain(ticked)) == reports
    if resting is None:
        assert ticked.pending_orders == []
    else:
        assert ticked.pending_orders == [record] and record["quantity"] == resting
    expected_story = []
    for r in reports:
        kind, n = r.split()
        expected_story += [f"Deal {n}", f"position {n}"] if kind == "deal" else [f"Cancel {n}"]
    assert ledger_story(ledger) == expected_story


@pytest.mark.parametrize("action, close, fills", [
    ("Buy", 100.0, True), ("Buy", 100.5, False), ("Sell", 100.0, True), ("Sell", 99.5, False),
    ("Buy", 99.0, True), ("Sell", 101.0, True)])
def test_limit_price_test(matcher, action, close, fills):
    place(matcher, action=action, price=100)
    drain(matcher)
    matcher.match_deal("2330", close, 10, TS)
    deals = drain(matcher)
    assert bool(deals) == fills
    if fills:
        assert deals[0]["price"] == close and type(deals[0]["price"]) is float


def test_market_order_fills_at_tick_close(matcher):
    place(matcher, price=1.0, price_type="MKT", action="Buy")
    drain(matcher)
    matcher.match_deal("2330", 555, 1, 1700000010)
    deal = drain(matcher)[0]
    assert (deal["price"], deal["exchange_ts"]) == (555.0, 1700000010.0)
    assert type(deal["exchange_ts"]) is float


def test_ioc_partial_fill_books_deal_before_cancel(ticked, ledger):
    record = place(ticked, qty=8, order_type="IOC")
    drain(ticked)
    ticked.match_deal("2330", 100.0, 5, TS)
    deal, cancel = drain(ticked)
    assert deal["quantity"] == 5 and deal["exchange_ts"] == TS
    assert cancel["operation_type"] is OperationType.CANCEL
    assert cancel["order"]["quantity"] == 3
    assert cancel["trade_status"]["exchange_ts"] == TS - 1  # the current tick's time
    assert record["quantity"] == 8  # the order's own quantity is left alone
    (deal_record,), (cancel_record,) = [c for c in ledger.named("add_trade_record")]
    assert deal_record == dict(trade_id=record["trade_id"], code="2330", action="Buy",
                               quantity=5, price=100.0, timestamp=TS, trade_status="Deal")
    assert cancel_record == dict(trade_id=record["trade_id"], code="2330", action="Buy",
                                 quantity=3, price=100.0, timestamp=TS - 1,
                                 trade_status="Cancel")
    [(deal_copy, product_type)] = ledger.named("set_positions")
    assert product_type == "Stock" and deal_copy is not record
    assert list(deal_copy) == list(record)
    assert (deal_copy["quantity"], deal_copy["price"], deal_copy["exchange_ts"]) == (5, 100.0, TS)


def test_deal_record_is_a_deep_copy_of_nested_values(matcher, ledger):
    record = place(matcher, qty=1)
    record["tags"] = [{"note": "x"}]  # a value a shallow copy would share
    drain(matcher)
    matcher.match_deal("2330", 100.0, 1, TS)
    [(deal, _)] = ledger.named("set_positions")
    assert deal["tags"] == record["tags"] and deal["tags"] is not record["tags"]
    assert deal["tags"][0] is not record["tags"][0]


class TestSharingVolume:
    def test_two_rod_orders_share_one_tick(self, matcher):
        first, second = place(matcher, qty=3), place(matcher, qty=4)
        drain(matcher)
        matcher.match_deal("2330", 100.0, 5, TS)
        deals = drain(matcher)
        assert [(d["id"], d["quantity"]) for d in deals] == [
            (first["trade_id"], 3), (second["trade_id"], 2)]
        assert matcher.pending_orders == [second] and second["quantity"] == 2

    def test_order_after_a_removed_one_is_still_examined(self, matcher):
        place(matcher, qty=2), place(matcher, qty=2, order_type="IOC"), place(matcher, qty=2)
        drain(matcher)
        matcher.match_deal("2330", 100.0, 10, TS)
        assert kinds(drain(matcher)) == ["deal 2", "deal 2", "deal 2"]
        assert matcher.pending_orders == []

    def test_used_up_volume_cancels_later_ioc_and_fok_keeps_rod(self, ticked, ledger):
        first = place(ticked, qty=3)
        ioc = place(ticked, qty=4, order_type="IOC")
        rod = place(ticked, qty=2)
        fok = place(ticked, qty=1, order_type="FOK")
        drain(ticked)
        ticked.match_deal("2330", 100.0, 3, TS)
        reports = drain(ticked)
        assert kinds(reports) == ["deal 3", "cancel 4", "cancel 1"]
        assert [r["order"]["id"] for r in reports[1:]] == [ioc["trade_id"], fok["trade_id"]]
        assert ticked.pending_orders == [rod] and rod["quantity"] == 2
        assert first not in ticked.pending_orders
        assert ledger_story(ledger) == ["Deal 3", "position 3", "Cancel 4", "Cancel 1"]

    @pytest.mark.parametrize("order_type", ["ROD", "IOC", "FOK"])
    def test_zero_volume_tick_touches_nothing(self, matcher, ledger, order_type):
        record = place(matcher, qty=2, order_type=order_type)
        drain(matcher)
        matcher.match_deal("2330", 100.0, 0, TS)
        assert matcher.pending_orders == [record] and drain(matcher) == []
        assert ledger.calls == []

    def test_other_codes_are_never_touched(self, matcher, ledger):
        other = place(matcher, code="2317", order_type="IOC")
        drain(matcher)
        matcher.match_deal("2330", 100.0, 10, TS)
        assert matcher.pending_orders == [other] and drain(matcher) == []


class TestIrregularOrdersAndTicks:
    def test_zero_quantity_record_leaves_without_a_deal(self, matcher, ledger):
        record = place(matcher, qty=2)
        record["quantity"] = 0  # as a caller might leave it
        nxt = place(matcher, qty=1)
        drain(matcher)
        matcher.match_deal("2330", 100.0, 5, TS)
        assert kinds(drain(matcher)) == ["deal 1"]
        assert matcher.pending_orders == [] and nxt["quantity"] == 0
        assert all(c[0]["quantity"] > 0 for c in ledger.named("add_trade_record"))

    def test_cancel_without_tick_info_uses_tick_time(self, matcher, ledger):
        record = place(matcher, qty=4, order_type="FOK")
        drain(matcher)
        matcher.match_deal("2330", 100.0, 1, TS)
        [cancel] = drain(matcher)
        assert cancel["trade_status"]["exchange_ts"] is None
        [(entry,)] = ledger.named("add_trade_record")
        assert entry["timestamp"] == TS and entry["trade_status"] == "Cancel"
        assert entry["trade_id"] == record["trade_id"]

    def test_negative_volume_refused_before_anything(self, matcher, ledger):
        record = place(matcher, order_type="IOC")
        drain(matcher)
        with pytest.raises(ValueError, match="^成交量不可為負: -1$"):
            matcher.match_deal("2330", 100.0, -1, TS)
        assert matcher.pending_orders == [record] and ledger.calls == []


class TestFailures:
    @pytest.mark.parametrize("args, arg", [
        ((2330, 1.0, 1, 1.0), "code"), (("2330", 1.0, True, 1.0), "tick_qty"),
        (("2330", 1.0, 1.0, 1.0), "tick_qty"), (("2330", "1", 1, 1.0), "tick_close"),
        (("2330", 1.0, 1, None), "tick_ts")])
    def test_wrong_types(self, matcher, args, arg):
        with pytest.raises(TypeError, match=arg):
            matcher.match_deal(*args)

    def test_unsupported_product_on_cancel_propagates(self, matcher):
        done = place(matcher, qty=1)
        odd = place(matcher, qty=2, order_type="IOC", price=1.0)
        odd["product_type"] = "Option"
        drain(matcher)
        with pytest.raises(ValueError, match="^不支援的商品類型$"):
            matcher.match_deal("2330", 100.0, 5, TS)
        # the earlier fill stays done; the failing order is not lost
        assert kinds(drain(matcher)) == ["deal 1"]
        assert matcher.pending_orders == [odd] and done not in matcher.pending_orders

    def test_ledger_error_propagates_after_own_update(self, matcher, ledger):
        def broken(*args, **kwargs):
            raise RuntimeError("ledger down")
        ledger.add_trade_record = broken
        record = place(matcher, qty=2)
        drain(matcher)
        with pytest.raises(RuntimeError, match="ledger down"):
            matcher.match_deal("2330", 100.0, 5, TS)
        assert matcher.pending_orders == [] and record["quantity"] == 0
