"""Position queries and the summary/detail rows handed to a strategy."""

import threading

import pytest

from quarvel.constant import FutureIndexContractValue, OrderCond
from quarvel.modules.positions.positions import Positions

NO_TICK = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]"


def entry(price, quantity, product_type="Stock", trade_id="t", exchange_ts=1700000000.0):
    return {
        "code": "X",
        "action": "Buy",
        "price": price,
        "quantity": quantity,
        "product_type": product_type,
        "exchange_ts": exchange_ts,
        "trade_id": trade_id,
    }


@pytest.fixture
def account():
    """A Positions whose futures contract value falls back to the constant table until the
    ledger provides its own lookup."""
    positions = Positions()
    if not hasattr(Positions, "_Positions__apply_future_contract_value"):
        positions._Positions__apply_future_contract_value = (
            lambda code: FutureIndexContractValue.get(code, 2000)
        )
    return positions


def book(account, code, product_type, buy=(), sell=(), close=None):
    account.positions[code] = {"buy": list(buy), "sell": list(sell)}
    account.product_type_mapper[code] = product_type
    if close is not None:
        account.current_tick_infos[code] = {"code": code, "close": close}


def summary(account, product_type):
    return account._Positions__format_position_summary(product_type)


def detail(account, product_type):
    return account._Positions__format_position_detail(product_type)


# --- values -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "entries, close, quantity, avg_price, pnl",
    [
        ([entry(100.0, 1), entry(102.0, 1)], 105.0, 2, 101.0, 8000.0),
        # weighted by quantity: (2 * 100 + 103) / 3
        ([entry(100.0, 2), entry(103.0, 1)], 100.0, 3, 101.0, -3000.0),
        ([entry(10.0, 1), entry(10.01, 2)], 10.0, 3, 10.01, -20.0),
    ],
)
def test_stock_summary_values(account, entries, close, quantity, avg_price, pnl):
    book(account, "2330", "Stock", buy=entries, close=close)
    (row,) = summary(account, "Stock")
    assert row["quantity"] == quantity
    assert row["avg_price"] == avg_price
    assert row["pnl"] == pytest.approx(pnl)


def test_stock_rows_have_broker_shapes(account):
    book(account, "2330", "Stock", buy=[entry(100.0, 1, trade_id="a")], close=101.0)
    (row,) = summary(account, "Stock")
    assert list(row) == [
        "code", "quantity", "avg_price", "pnl", "cond",
        "margin_purchase_amount", "collateral", "short_sale_margin", "interest",
    ]
    assert row["cond"] is OrderCond.CASH
    assert [row[k] for k in list(row)[5:]] == [0, 0, 0, 0]
    (line,) = detail(account, "Stock")
    assert list(line) == [
        "date", "code", "quantity", "cost", "pnl", "fee", "trade_id",
        "margin_purchase_amount", "collateral",
    ]
    assert line == {
        "date": 1700000000.0, "code": "2330", "quantity": 1, "cost": 100.0, "pnl": 1000.0,
        "fee": 0, "trade_id": "a", "margin_purchase_amount": 0, "collateral": 0,
    }


def test_detail_rows_value_each_entry_and_share_the_stored_values(account):
    first, second = entry(100.0, 1, trade_id="a"), entry(102.0, 1, trade_id="b")
    book(account, "2330", "Stock", buy=[first, second], close=105.0)
    rows = detail(account, "Stock")
    assert [(r["trade_id"], r["pnl"]) for r in rows] == [("a", 5000.0), ("b", 3000.0)]
    assert rows[0]["trade_id"] is first["trade_id"]


@pytest.mark.parametrize(
    "code, close, expected",
    [
        ("ZZF", 99.0, 2000.0),  # not in the contract table: 2000 per point
        ("TXF", 99.0, 200.0),
        ("MXF", 101.0, -50.0),
    ],
)
def test_future_short_is_valued_with_the_contract_value(account, code, close, expected):
    book(account, code, "Future", sell=[entry(100.0, 1, "Future")], close=close)
    (row,) = summary(account, "Future")
    assert list(row) == ["code", "quantity", "avg_price", "pnl"]
    assert row["pnl"] == expected
    (line,) = detail(account, "Future")
    assert list(line) == ["date", "code", "quantity", "cost", "pnl", "fee", "trade_id"]
    assert line["pnl"] == expected


# --- selection and edge cases -------------------------------------------------------------


def test_codes_are_selected_by_product_type_in_book_order(account):
    book(account, "B", "Stock", buy=[entry(1.0, 1)], close=1.0)
    book(account, "TXF", "Future", buy=[entry(1.0, 1, "Future")], close=1.0)
    book(account, "A", "Stock", buy=[entry(1.0, 1)], close=1.0)
    assert [r["code"] for r in summary(account, "Stock")] == ["B", "A"]
    assert [r["code"] for r in detail(account, "Future")] == ["TXF"]
    assert summary(account, "Index") == [] and detail(account, "Index") == []


def test_zero_quantity_entries_give_no_rows(account):
    book(account, "2330", "Stock", buy=[entry(100.0, 0), entry(101.0, 0)], close=100.0)
    assert summary(account, "Stock") == []
    assert detail(account, "Stock") == []


@pytest.mark.parametrize("tick", ["missing", None, {}])
def test_without_a_tick_rows_come_out_with_zero_pnl(account, printed, tick):
    book(account, "2330", "Stock", buy=[entry(100.0, 1), entry(0.0, 0), entry(101.0, 2)])
    if tick != "missing":
        account.current_tick_infos["2330"] = tick
    (row,) = summary(account, "Stock")
    assert (row["quantity"], row["pnl"]) == (3, 0)
    assert printed.lines == [NO_TICK, NO_TICK]
    assert [r["pnl"] for r in detail(account, "Stock")] == [0, 0]
    assert "2330" in account.current_tick_infos
    if tick == "missing":
        assert account.current_tick_infos["2330"] is None


def test_unknown_entry_product_type(account):
    book(account, "2330", "Stock", buy=[entry(100.0, 1, "Index")])
    with pytest.raises(Exception, match="^不支援的商品類型: Index$"):
        detail(account, "Stock")
    # the summary only needs the unit value when there is a price to value against
    assert summary(account, "Stock")[0]["pnl"] == 0
    account.current_tick_infos["2330"] = {"close": 101.0}
    with pytest.raises(Exception, match="^不支援的商品類型: Index$"):
        summary(account, "Stock")


@pytest.mark.parametrize("method", ["summary", "detail"])
def test_formatters_take_an_exact_str(account, method):
    with pytest.raises(TypeError, match="product_type"):
        getattr(account, f"_Positions__format_position_{method}")(b"Stock")


# --- queues -------------------------------------------------------------------------------


def test_fetch_positions_queues_rows_in_call_order(account):
    book(account, "2330", "Stock", buy=[entry(100.0, 1)], close=100.0)
    account.fetch_positions("Stock")
    account.fetch_positions("Stock", fetch_detail=True)
    account.fetch_positions("Future")
    first, second, third = (account.pop_positions() for _ in range(3))
    assert first[0]["avg_price"] == 100.0 and "avg_price" not in second[0]
    assert third == []
    assert account.fetch_position_queue.empty()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.fetch_positions("Index"), "不支援的帳戶類型: Index"),
        (lambda a: a.fetch_positions("stock"), "不支援的帳戶類型: stock"),
        (lambda a: a.add_positions_to_queue((1, 2)), "不支援的持有部位格式: <class 'tuple'>"),
        (lambda a: a.add_positions_to_queue("rows"), "不支援的持有部位格式: <class 'str'>"),
    ],
)
def test_refused_requests_queue_nothing(account, call, message):
    with pytest.raises(Exception) as raised:
        call(account)
    assert type(raised.value) is Exception and str(raised.value) == message
    assert account.fetch_position_queue.empty()


def test_fetch_detail_must_be_a_bool(account):
    with pytest.raises(TypeError, match="fetch_detail"):
        account.fetch_positions("Stock", 1)


def test_formatting_errors_pass_through_and_queue_nothing(account):
    book(account, "2330", "Stock", buy=[{"quantity": 1}], close=100.0)
    with pytest.raises(KeyError):
        account.fetch_positions("Stock")
    assert account.fetch_position_queue.empty()


def test_dicts_and_list_subclasses_are_queued_as_they_are(account):
    class Rows(list):
        pass

    payload, rows = {"a": 1}, Rows([1])
    account.add_positions_to_queue(payload)
    account.add_positions_to_queue(rows)
    assert account.pop_positions() is payload
    assert account.pop_positions() is rows


def test_hand_shake_across_threads(account):
    """Requester and consumer on different threads; both waits let the other side run."""
    book(account, "2330", "Stock", buy=[entry(100.0, 1)], close=101.0)
    seen = []

    def consumer():
        seen.append(account.pop_positions())
        account.add_finish_notify_to_queue()

    worker = threading.Thread(target=consumer, daemon=True)
    worker.start()  # blocks in pop_positions until the request arrives
    account.wait_fetch_position_response_flag = True
    account.fetch_positions("Stock")
    assert account.pop_finish_notify() is True
    worker.join(timeout=10)
    assert not worker.is_alive()
    assert account.wait_fetch_position_response_flag is False
    assert seen[0][0]["pnl"] == 1000.0


def test_second_finish_notify_waits_for_a_second_notice(account):
    account.add_finish_notify_to_queue()
    assert account.pop_finish_notify() is True
    results = []
    waiter = threading.Thread(target=lambda: results.append(account.pop_finish_notify()),
                              daemon=True)
    waiter.start()
    waiter.join(timeout=0.2)
    assert waiter.is_alive() and results == []
    account.add_finish_notify_to_queue()
    waiter.join(timeout=10)
    assert results == [True]


def test_account_type_is_compared_as_text(account):
    from quarvel.constant import StrValueEnum

    class Market(StrValueEnum):
        STOCK = "Stock"

    book(account, "2330", "Stock", buy=[entry(100.0, 1)], close=100.0)
    account.fetch_positions(Market.STOCK)
    assert [r["code"] for r in account.pop_positions()] == ["2330"]


@pytest.mark.parametrize("method", ["summary", "detail"])
def test_formatting_while_the_book_changes(account, monkeypatch, method):
    """Another thread may change the book whenever the formatter calls out (here: at every
    console line). Codes added meanwhile wait for the next request, removed codes are
    skipped, entries appended meanwhile are not counted twice; nothing fails."""
    from quarvel.modules.positions import positions as module

    for code in ("A", "B", "C"):
        book(account, code, "Stock", buy=[entry(10.0, 1), entry(10.0, 1)])
    changes = iter(range(1000))

    class MeddlingConsole:
        def print(self, text, *args, **kwargs):
            n = next(changes)
            book(account, f"N{n}", "Stock", buy=[entry(10.0, 1)])
            account.positions.pop("B", None)
            account.positions["A"]["buy"].append(entry(10.0, 1))

    monkeypatch.setattr(module, "console", MeddlingConsole())
    rows = (summary if method == "summary" else detail)(account, "Stock")
    codes = [r["code"] for r in rows]
    assert codes == (["A", "C"] if method == "summary" else ["A", "A", "C", "C"])
    if method == "summary":
        assert [r["quantity"] for r in rows] == [2, 2]
