"""Order intake: add, modify, cancel, and requests run by the receiver thread."""

import json
import logging

import pytest

from matcher_support import drain, ledger, matcher, place, tick  # noqa: F401
from quarvel.constant import OperationType, OrderCond, OrderLot, OrderType, PriceType

RECORD_KEYS = ["operation_type", "operation_code", "operation_message", "trade_id",
               "account_id", "code", "product_type", "action", "price", "quantity",
               "price_type", "order_type", "exchange_ts"]


class TestAddOrder:
    @pytest.mark.parametrize("product_type, extra", [
        ("Stock", ["order_cond", "order_lot"]), ("Future", ["oc_type"])])
    def test_record_keys_by_product(self, matcher, printed, product_type, extra):
        record = place(matcher, product_type=product_type, price=100)
        assert list(record) == RECORD_KEYS + extra
        assert record["operation_type"] == "New" and type(record["price"]) is float
        assert record["order_type"] is OrderType.ROD and record["price_type"] is PriceType.LMT
        assert record["exchange_ts"] is None
        if product_type == "Stock":
            assert record["order_cond"] is OrderCond.CASH
            assert record["order_lot"] is OrderLot.COMMON
        assert printed.lines == [f"[green]新增委託單 {record['trade_id']} 成功[/green]"]
        assert drain(matcher)[0]["order"]["id"] == record["trade_id"]

    def test_unsupported_product_stores_nothing(self, matcher):
        with pytest.raises(ValueError, match="^不支援的商品類型: Option$"):
            matcher.add_order("2330", "Option", "Buy", 1.0, 1, "LMT", "ROD")
        assert matcher.pending_orders == [] and drain(matcher) == []

    @pytest.mark.parametrize("qty", [0, -3])
    def test_quantity_must_be_positive(self, matcher, qty):
        with pytest.raises(ValueError, match=f"^委託數量 {qty} 必須大於 0$"):
            place(matcher, qty=qty)
        assert matcher.pending_orders == [] and drain(matcher) == []

    @pytest.mark.parametrize("kwargs, arg", [
        ({"qty": True}, "qty"), ({"qty": 2.0}, "qty"), ({"code": 2330}, "code"),
        ({"price": "1"}, "price"), ({"price": False}, "price"),
        ({"order_type": None}, "order_type"), ({"order_cond": None}, "order_cond")])
    def test_wrong_types(self, matcher, kwargs, arg):
        args = dict(code="2330", product_type="Stock", action="Buy", price=1.0, qty=1,
                    price_type="LMT", order_type="ROD")
        args.update(kwargs)
        with pytest.raises(TypeError, match=arg):
            matcher.add_order(**args)
        assert matcher.pending_orders == []

    def test_report_failure_keeps_order_and_logs(self, matcher, printed, monkeypatch, caplog):
        def broken(*args, **kwargs):
            raise RuntimeError("queue down")
        monkeypatch.setattr(matcher.response_queue, "put", broken)
        with caplog.at_level(logging.ERROR, logger="quarvel"):
            matcher.add_order("2330", "Stock", "Buy", 7, 2, "LMT", "ROD")
        assert len(matcher.pending_orders) == 1
        assert printed.lines == ["[red]發生錯誤: queue down[/red]"]
        record = json.loads(caplog.records[-1].getMessage())
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == "queue down" and "RuntimeError" in record["traceback"]
        assert record["data"] == {"code": "2330", "product_type": "Stock", "action": "Buy",
                                  "price": 7.0, "qty": 2, "price_type": "LMT",
                                  "order_type": "ROD", "order_cond": "Cash",
                                  "order_lot": "Common", "oc_type": "Auto"}


class TestModifyOrder:
    @pytest.mark.parametrize("cut, left", [(3, 7), (10, 0)])
    def test_cut_quantity(self, matcher, printed, cut, left):
        record = place(matcher, qty=10)
        drain(matcher)
        printed.clear()
        matcher.modify_order(record["trade_id"], cut)
        report = drain(matcher)[0]
        assert report["operation_type"] is OperationType.UPDATE_QTY
        assert report["order"]["quantity"] == left == record["quantity"]
        tid = record["trade_id"]
        assert printed.lines == [f"[green]修改委託單 {tid} 數量成功, 修改數量 {cut}[/green]"]
        # an order with nothing left stops resting
        assert matcher.pending_orders == ([record] if left else [])

    def test_cut_to_zero_skips_price_change(self, matcher):
        record = place(matcher, qty=4)
        drain(matcher)
        matcher.modify_order(record["trade_id"], 4, 120.0)
        assert [r["operation_type"] for r in drain(matcher)] == [OperationType.UPDATE_QTY]
        assert record["price"] == 100.0 and matcher.pending_orders == []

    def test_quantity_and_price_give_two_reports(self, matcher, printed):
        record = place(matcher, qty=10)
        drain(matcher)
        printed.clear()
        matcher.modify_order(record["trade_id"], 2, 101.5)
        reports = drain(matcher)
        assert [r["operation_type"] for r in reports] == [OperationType.UPDATE_QTY,
                                                          OperationType.UPDATE_PRICE]
        assert reports[1]["order"]["price"] == 101.5 and reports[1]["order"]["quantity"] == 8
        tid = record["trade_id"]
        assert printed.lines[1] == f"[green]修改委託單 {tid} 價格成功, 修改價格 101.5[/green]"

    @pytest.mark.parametrize("args, message", [
        ((0,), "請至少提供數量或價格來修改委託單 nope"),
        ((None, None), "請至少提供數量或價格來修改委託單 nope"),
        ((None, 0.0), "請至少提供數量或價格來修改委託單 nope"),
        ((-2,), "修改的數量 -2 必須大於 0"),
        ((-2, 105.0), "修改的數量 -2 必須大於 0")])
    def test_checks_before_lookup(self, matcher, args, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            matcher.modify_order("nope", *args)

    @pytest.mark.parametrize("args, message", [
        ((11,), "修改的數量 11 大於原本的數量 10"),
        ((-1,), "修改的數量 -1 必須大於 0"),
        ((None, -1.0), "修改的價格 -1.0 必須大於 0"),
        ((None, float("nan")), "修改的價格 nan 必須大於 0")])
    def test_refusals_change_nothing(self, matcher, args, message):
        record = place(matcher, qty=10)
        drain(matcher)
        with pytest.raises(ValueError, match=f"^{message}$"):
            matcher.modify_order(record["trade_id"], *args)
        assert (record["quantity"], record["price"]) == (10, 100.0)
        assert drain(matcher) == []

    def test_price_error_undoes_nothing_because_nothing_changed(self, matcher):
        record = place(matcher, qty=10)
        drain(matcher)
        with pytest.raises(ValueError):
            matcher.modify_order(record["trade_id"], 3, -5.0)
        assert record["quantity"] == 10 and drain(matcher) == []

    def test_unknown_identifier_prints(self, matcher, printed):
        matcher.modify_order("nope", 1)
        assert printed.lines == ["[red]委託單 nope 不存在[/red]"]
        assert drain(matcher) == []

    @pytest.mark.parametrize("args, arg", [((1, 1), "trade_id"), (("x", True), "qty"),
                                           (("x", None, 101), "price")])
    def test_wrong_types(self, matcher, args, arg):
        with pytest.raises(TypeError, match=arg):
            matcher.modify_order(*args)


class TestCancelOrder:
    def test_cancel_then_cancel_again(self, matcher, ledger, printed):
        record = place(matcher, qty=6)
        drain(matcher)
        printed.clear()
        matcher.cancel_order(record["trade_id"])
        report = drain(matcher)[0]
        assert report["operation_type"] is OperationType.CANCEL
        assert report["order"]["quantity"] == 6 and matcher.pending_orders == []
        matcher.cancel_order(record["trade_id"])
        assert printed.lines == [f"[green]取消委託單 {record['trade_id']} 成功[/green]",
                                 f"[red]委託單 {record['trade_id']} 不存在[/red]"]
        assert ledger.calls == []  # a direct cancel writes no trade record

    def test_cancel_report_failure_is_printed(self, matcher, printed):
        record = place(matcher)
        record["product_type"] = "Option"
        printed.clear()
        matcher.cancel_order(record["trade_id"])
        assert printed.lines == ["[red]不支援的商品類型: Option[/red]"]
        assert matcher.pending_orders == []

    def test_first_of_equal_identifiers_is_cancelled(self, matcher):
        first, second = place(matcher), place(matcher)
        second["trade_id"] = first["trade_id"]
        matcher.cancel_order(first["trade_id"])
        assert matcher.pending_orders == [second] and matcher.pending_orders[0] is second
