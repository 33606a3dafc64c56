"""Values the simulator refuses, and calls that fail as a whole: after a refusal the
orders, reports, book, capital, journal and tick store are exactly as before."""

import math
import queue
import re

import pytest

from matcher_support import drain
from quarvel import invariants
from quarvel.modules.matcher import matcher as matcher_module
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions.positions import Positions, QuoteManager
from quarvel.modules.ticker.ticker import Ticker
from quote_ticks import tick
from ticker_fakes import FakeBroker

TS = 1_700_000_000.0
JUNK_PRICES = [0, 0.0, -1.0, math.nan, math.inf, -math.inf, 1e308]
JUNK_TIMES = [-1e18, -9223372036854.775807, 10.0, 4133980800.0, math.nan, math.inf]
JUNK_CODES = ["", "A" * 33, "\ud800", "../2330", "a\\b"]


@pytest.fixture
def exchange(printed):
    p = Positions()
    m = Matcher(p)
    return p, m


def exact(text):
    return "^" + re.escape(text) + "$"


def queued(q):
    with q.mutex:
        return list(q.queue)


def snapshot(p, m, qm=None):
    stored = None
    if qm is not None:
        stored = {code: (list(info["ticks"]), info["last_tick"]) for code, info in qm.ticks.items()}
    return repr((m.pending_orders, queued(m.response_queue), p.positions, p.current_capital,
                 p.trade_records, p._profit_report, p._account_infos, p.product_type_mapper,
                 stored))


class TestRefusals:
    @pytest.mark.parametrize("close", JUNK_PRICES + [10**9 + 1])
    def test_deal_price(self, exchange, close):
        p, m = exchange
        message = exact(f"不合理的成交價格: {float(close)}")
        with pytest.raises(ValueError, match=message):
            m.match_deal("2330", close, 1, TS)
        with pytest.raises(ValueError, match=message):
            QuoteManager().add_tick(tick("2024-03-04 10:00:00", close=close))

    @pytest.mark.parametrize("ts", JUNK_TIMES)
    def test_tick_time(self, exchange, ts):
        p, m = exchange
        message = exact(f"不合理的成交時間: {float(ts)}")
        with pytest.raises(ValueError, match=message):
            m.match_deal("2330", 100.0, 1, ts)
        t = tick("2024-03-04 10:00:00")
        t["timestamp"] = ts
        with pytest.raises(ValueError, match=message):
            QuoteManager().add_tick(t)

    @pytest.mark.parametrize("price", JUNK_PRICES)
    def test_limit_price_refused_market_price_ignored(self, exchange, price):
        p, m = exchange
        with pytest.raises(ValueError, match=exact(f"不合理的委託價格: {float(price)}")):
            m.add_order("2330", "Stock", "Buy", price, 1, "LMT", "ROD")
        m.add_order("2330", "Stock", "Buy", price, 1, "MKT", "ROD")
        assert len(m.pending_orders) == 1

    @pytest.mark.parametrize("qty, refused", [(10**9, False), (10**9 + 1, True), (2**62, True)])
    def test_order_quantity_cap(self, exchange, qty, refused):
        p, m = exchange
        if refused:
            with pytest.raises(ValueError, match=f"^委託數量超過上限: {qty}$"):
                m.add_order("2330", "Stock", "Buy", 100.0, qty, "LMT", "ROD")
        else:
            m.add_order("2330", "Stock", "Buy", 100.0, qty, "LMT", "ROD")
        assert len(m.pending_orders) == (0 if refused else 1)

    @pytest.mark.parametrize("qty", [-5, 10**9 + 1, 2**62])
    def test_tick_volume_stays_summable(self, qty):
        qm = QuoteManager()
        with pytest.raises(ValueError, match=exact(f"不合理的成交數量: {qty}")):
            qm.add_tick(tick("2024-03-04 10:00:00", qty=qty))
        assert qm.ticks == {}

    @pytest.mark.parametrize("code", JUNK_CODES)
    def test_code(self, exchange, data_dir, code):
        p, m = exchange
        message = exact(f"不合法的商品代碼: {code!r}")
        with pytest.raises(ValueError, match=message):
            m.add_order(code, "Stock", "Buy", 100.0, 1, "LMT", "ROD")
        with pytest.raises(ValueError, match=message):
            m.match_deal(code, 100.0, 1, TS)
        with pytest.raises(ValueError, match=message):
            QuoteManager().add_tick(tick("2024-03-04 10:00:00", code=code))
        with pytest.raises(ValueError, match=message):
            Ticker(FakeBroker()).get_ticks_df(code, "Stock", "2024-01-02", "2024-01-02")

    def test_longest_code_and_wide_characters_pass(self, exchange):
        p, m = exchange
        for code in ("A" * 32, "台" * 32):
            m.add_order(code, "Stock", "Buy", 100.0, 1, "LMT", "ROD")
        assert len(m.pending_orders) == 2


@pytest.fixture
def busy(exchange):
    """A resting buy and a resting sell of 2330 and an open long of TXF."""
    p, m = exchange
    m.add_order("TXF", "Future", "Buy", 17000.0, 2, "LMT", "ROD")
    m.match_deal("TXF", 16990.0, 2, TS)
    m.add_order("2330", "Stock", "Buy", 600.0, 5, "LMT", "ROD")
    m.add_order("2330", "Stock", "Sell", 650.0, 3, "LMT", "ROD")
    qm = QuoteManager()
    qm.add_tick(tick("2024-03-04 10:00:00"))
    return p, m, qm


def deal(**changes):
    base = {"code": "2330", "action": "Buy", "price": 600.0, "quantity": 1, "exchange_ts": TS}
    return {**base, **changes}


FAILING_CALLS = {
    "deal at a time datetime cannot take": lambda p, m, qm: m.match_deal("2330", 600.0, 5, -1e18),
    "deal at close inf": lambda p, m, qm: m.match_deal("2330", math.inf, 5, TS + 1),
    "tick volume above the cap": lambda p, m, qm: m.match_deal("2330", 600.0, 10**9 + 1, TS),
    "order with a lone surrogate": lambda p, m, qm: m.add_order(
        "\ud800", "Stock", "Buy", 600.0, 1, "LMT", "ROD"),
    "modify with a good cut and a bad price": lambda p, m, qm: m.modify_order(
        m.pending_orders[1]["trade_id"], 2, math.inf),
    "modify cutting more than rests": lambda p, m, qm: m.modify_order(
        m.pending_orders[1]["trade_id"], 6, 601.0),
    "cancel with a non-str id": lambda p, m, qm: m.cancel_order(None),
    "book an unknown product type": lambda p, m, qm: p.set_positions(deal(), "Bond"),
    "book a cover of an unknown product type": lambda p, m, qm: p.set_positions(
        deal(code="TXF", action="Sell"), "Option"),
    "book without a price": lambda p, m, qm: p.set_positions(
        {k: v for k, v in deal().items() if k != "price"}, "Stock"),
    "book a negative quantity": lambda p, m, qm: p.set_positions(deal(quantity=-1), "Stock"),
    "book a side that is neither": lambda p, m, qm: p.set_positions(deal(action="Hold"), "Stock"),
    "book an uncopyable record": lambda p, m, qm: p.set_positions(
        deal(extra=queue.Queue()), "Stock"),
    "tick of a junk code": lambda p, m, qm: qm.add_tick(tick("2024-03-04 10:05:00", code="")),
    "tick after a 401-day silence": lambda p, m, qm: qm.add_tick(tick("2025-04-09 10:00:00")),
}


@pytest.mark.parametrize("call", list(FAILING_CALLS.values()), ids=list(FAILING_CALLS))
def test_failing_call_changes_nothing(busy, call):
    p, m, qm = busy
    before = snapshot(p, m, qm)
    with pytest.raises(Exception):
        call(p, m, qm)
    assert snapshot(p, m, qm) == before
    invariants.check(p, m)


def test_deal_report_failure_leaves_the_order_resting(busy, monkeypatch):
    p, m, qm = busy
    before = snapshot(p, m)

    class Broken:
        @staticmethod
        def from_value(value):
            raise RuntimeError("constant module broken")

    monkeypatch.setattr(matcher_module, "OrderCond", Broken)
    with pytest.raises(RuntimeError, match="constant module broken"):
        m.match_deal("2330", 600.0, 5, TS + 2)
    assert snapshot(p, m) == before


def test_gap_refusal_names_both_times():
    qm = QuoteManager()
    qm.add_tick(tick("2024-03-04 10:00:00"))
    with pytest.raises(ValueError, match=exact("補齊的時間區間過長: 2024-03-04 10:00:00.000000 至 "
                                               "2025-04-09 10:00:00.000000")):
        qm.add_tick(tick("2025-04-09 10:00:00"))
    qm.add_tick(tick("2025-04-07 10:00:00"))  # 399 days: filled as before
    assert qm.ticks["2330"]["last_tick"]["is_virtual"] is False


class TestStepsOfTheLedger:
    def test_trade_record_stores_any_status_and_names_missing_numbers(self):
        p = Positions()
        p.add_trade_record("t", "2330", "Buy", 1, 600.0, TS, None)
        assert p.trade_records[0]["trade_status"] is None
        for arg in ("price", "timestamp"):
            values = dict(trade_id="t", code="2330", action="Buy", quantity=1, price=600.0,
                          timestamp=TS, trade_status="Deal")
            values[arg] = None
            with pytest.raises(TypeError, match=f"^{arg} must be int or float, not NoneType$"):
                p.add_trade_record(**values)
        assert len(p.trade_records) == 1

    @pytest.mark.parametrize("direction", [None, "sideways", 3])
    def test_slippage_moves_down_for_any_other_direction(self, direction):
        slip = Positions()._Positions__calculate_slippage_price
        assert slip("2330", 500.0, 3, direction) == 498.0


def test_cancel_stamped_with_a_junk_tick_time_keeps_the_order(exchange):
    p, m = exchange
    m.add_order("2330", "Stock", "Buy", 500.0, 5, "LMT", "IOC")
    m.set_current_tick({"code": "2330", "ts": -1e18, "timestamp": -1e18, "close": 1.0})
    before = snapshot(p, m)
    with pytest.raises(ValueError, match=exact("不合理的成交時間: -1e+18")):
        m.match_deal("2330", 600.0, 5, TS)
    assert snapshot(p, m) == before


@pytest.mark.parametrize("arg", ["trade_id", "code", "action", "trade_status"])
def test_journal_refuses_text_it_could_not_write_out(data_dir, arg):
    p = Positions()
    values = dict(trade_id="t", code="2330", action="Buy", quantity=1, price=600.0,
                  timestamp=TS, trade_status="Deal")
    p.add_trade_record(**values)
    with pytest.raises(ValueError, match=exact(f"無法以 UTF-8 編碼的 {arg}: '\\ud800'")):
        p.add_trade_record(**{**values, arg: "\ud800"})
    assert len(p.trade_records) == 1
    p.export_trade_records()
    assert any(data_dir.rglob("*.csv"))
