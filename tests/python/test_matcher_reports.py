"""Order and deal report shapes: key orders, identifiers, enum members and dispatch."""

import json

import pytest

from matcher_support import drain, ledger, matcher, place, tick  # noqa: F401
from quarvel.constant import (Action, OCType, OperationType, OrderCond, OrderLot, OrderType,
                              PriceType, SuccessCode)

ORDER_HEAD = ["id", "seqno", "ordno", "account", "code", "action", "price", "quantity"]
STOCK_ORDER = ORDER_HEAD + ["order_type", "order_cond", "order_lot", "price_type"]
FUTURE_ORDER = ORDER_HEAD + ["order_type", "price_type", "oc_type"]
DEAL_HEAD = ["id", "seqno", "ordno", "exchange_seqno", "broker_id", "account", "action",
             "code", "quantity", "price"]
STOCK_DEAL = DEAL_HEAD + ["order_cond", "order_lot", "exchange_ts"]
FUTURE_DEAL = DEAL_HEAD + ["exchange_ts"]


@pytest.mark.parametrize("product_type, code, order_keys", [
    ("Stock", "2330", STOCK_ORDER), ("Future", "TXF", FUTURE_ORDER)])
def test_order_report_shape(matcher, product_type, code, order_keys):
    matcher.set_current_tick(tick(code=code, ts=12.5))
    record = place(matcher, code=code, product_type=product_type, qty=3, price=101)
    report = drain(matcher)[0]
    assert list(report) == ["operation_type", "operation_status_code", "operation_message",
                            "order", "trade_status"]
    assert report["operation_type"] is OperationType.NEW
    assert (report["operation_status_code"], report["operation_message"]) == (
        SuccessCode.CreateOrder.code, SuccessCode.CreateOrder.message)
    order = report["order"]
    assert list(order) == order_keys
    trade_id = record["trade_id"]
    assert order["id"] == order["seqno"] == order["ordno"] == trade_id
    assert order["account"] == "BT-00001" and order["code"] == code
    assert order["action"] is Action.BUY and order["order_type"] is OrderType.ROD
    assert order["price_type"] is PriceType.LMT
    assert type(order["price"]) is float and order["price"] == 101.0
    assert type(order["quantity"]) is int and order["quantity"] == 3
    if product_type == "Stock":
        assert order["order_cond"] is OrderCond.CASH and order["order_lot"] is OrderLot.COMMON
    else:
        assert order["oc_type"] is OCType.AUTO
    assert report["trade_status"] == {"id": trade_id, "exchange": "ORVA Backtest Exchange",
                                      "exchange_ts": 12.5}
    assert list(report["trade_status"]) == ["id", "exchange", "exchange_ts"]
    json.dumps(report)  # the enum members encode as their plain text


@pytest.mark.parametrize("product_type, code, keys", [
    ("Stock", "2330", STOCK_DEAL), ("Future", "TXF", FUTURE_DEAL)])
def test_deal_report_shape(matcher, product_type, code, keys):
    record = place(matcher, code=code, product_type=product_type, qty=2)
    drain(matcher)
    matcher.match_deal(code, 99.5, 10, 1700000033.25)
    deal = drain(matcher)[0]
    assert list(deal) == keys and "operation_type" not in deal
    tid = record["trade_id"]
    assert deal["id"] == deal["seqno"] == deal["ordno"] == deal["exchange_seqno"] == tid
    assert deal["broker_id"] == "ORVA Backtest Exchange" and deal["account"] == "BT-00001"
    assert (deal["quantity"], deal["price"], deal["exchange_ts"]) == (2, 99.5, 1700000033.25)
    if product_type == "Stock":
        assert deal["order_cond"] is OrderCond.CASH and deal["order_lot"] is OrderLot.COMMON


def test_order_report_time_follows_current_tick(matcher):
    record = place(matcher)
    assert drain(matcher)[0]["trade_status"]["exchange_ts"] is None
    matcher.set_current_tick(tick(ts=5.0))
    report = matcher.build_order_response(record, OperationType.CANCEL, SuccessCode.OrderBeCancel)
    assert report["trade_status"]["exchange_ts"] == 5.0
    assert report["operation_type"] is OperationType.CANCEL
    assert record["exchange_ts"] is None  # the record keeps its own time


class TestShapers:
    def test_shapers_apply_from_value_and_leave_argument_alone(self, matcher):
        data = {"operation_type": "UpdatePrice", "operation_code": "01",
                "operation_message": "m", "trade_id": "t", "account_id": "a", "code": "c",
                "action": "Sell", "price": 1.0, "quantity": 1, "price_type": "MKT",
                "order_type": "FOK", "exchange_ts": None, "oc_type": "Cover"}
        before = dict(data)
        report = matcher.get_simulation_future_order_response(data)
        assert data == before
        assert report["operation_type"] is OperationType.UPDATE_PRICE
        assert report["order"]["oc_type"] is OCType.COVER
        assert report["order"]["price_type"] is PriceType.MKT
        assert report["order"]["action"] == "Sell"  # copied, not converted

    @pytest.mark.parametrize("name", [
        "get_simulation_stock_order_response", "get_simulation_future_order_response",
        "get_simulation_stock_deal_response", "get_simulation_future_deal_response"])
    def test_shapers_require_a_dict(self, matcher, name):
        with pytest.raises(TypeError, match="data"):
            getattr(matcher, name)([])


class TestDispatch:
    @pytest.mark.parametrize("build", [
        lambda m, r: m.build_order_response(r, OperationType.NEW, SuccessCode.CreateOrder),
        lambda m, r: m.build_deal_response(r)])
    def test_unsupported_product_type(self, matcher, build):
        record = dict(place(matcher), product_type="Option")
        drain(matcher)
        with pytest.raises(ValueError, match="^不支援的商品類型: Option$"):
            build(matcher, record)
        assert drain(matcher) == []

    def test_missing_key_is_a_key_error(self, matcher):
        record = place(matcher)
        del record["order_lot"]
        with pytest.raises(KeyError):
            matcher.build_order_response(record, OperationType.NEW, SuccessCode.CreateOrder)

    @pytest.mark.parametrize("method", ["build_order_response", "build_deal_response"])
    def test_trade_must_be_a_dict(self, matcher, method):
        args = ([], OperationType.NEW, SuccessCode.CreateOrder)
        with pytest.raises(TypeError, match="trade"):
            getattr(matcher, method)(*args[: 3 if method == "build_order_response" else 1])
