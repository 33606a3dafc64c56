"""The receiver thread: requests run one at a time, failures reported, the thread goes on."""

import json
import logging
import subprocess
import sys
import threading
import time

import pytest

from matcher_support import (  # noqa: F401
    RecordingLedger, drain, ledger, matcher, package_root, place)
from quarvel.constant import OperationType
from quarvel.modules.matcher import matcher as matcher_module
from quarvel.modules.matcher.matcher import Matcher

ADD = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0, "qty": 2,
       "price_type": "LMT", "order_type": "ROD"}


def next_report(m):
    return m.response_queue.get(timeout=10)


class TestRequests:
    def test_add_modify_cancel_by_request(self, matcher):
        matcher.add_pending_order_queue("add", dict(ADD, qty=5, oc_type="Auto"))
        new = next_report(matcher)
        tid = new["order"]["id"]
        matcher.add_pending_order_queue("modify", {"trade_id": tid, "qty": 1})
        assert next_report(matcher)["order"]["quantity"] == 4
        matcher.add_pending_order_queue("modify", {"trade_id": tid, "price": 99.0})
        assert next_report(matcher)["operation_type"] is OperationType.UPDATE_PRICE
        matcher.add_pending_order_queue("cancel", {"trade_id": tid})
        assert next_report(matcher)["operation_type"] is OperationType.CANCEL
        assert matcher.pending_orders == []

    @pytest.mark.parametrize("action, payload, line, error", [
        ("delete", {}, "[red]不支援的操作: delete[/red]", None),
        ("modify", {"qty": 1}, "[red]接收委託單失敗: 'trade_id'[/red]", "'trade_id'"),
        ("add", dict(ADD, colour="red"), None, "colour"),
        ("add", dict(ADD, product_type="Option"),
         "[red]接收委託單失敗: 不支援的商品類型: Option[/red]", "不支援的商品類型: Option"),
        ("modify", {"trade_id": "x", "qty": 0}, None, "請至少提供數量或價格來修改委託單 x"),
        # values the JSON encoder cannot handle are logged with their repr
        ("cancel", {"trade_id": {1, 2}}, None, "trade_id"),
    ])
    def test_bad_request_then_good_one(self, matcher, printed, caplog, action, payload, line,
                                       error):
        with caplog.at_level(logging.ERROR, logger="quarvel"):
            matcher.add_pending_order_queue(action, payload)
            matcher.add_pending_order_queue("add", ADD)
            report = next_report(matcher)
        assert report["operation_type"] is OperationType.NEW
        assert len(matcher.pending_orders) == 1
        failure = printed.lines[0]
        if line is not None:
            assert failure == line
        if error is None:
            assert caplog.records == []
            return
        assert failure.startswith("[red]接收委託單失敗: ") and error in failure
        record = json.loads(caplog.records[0].getMessage())
        assert list(record) == ["error", "traceback", "data"] and error in record["error"]
        assert "Error" in record["traceback"]
        info = record["data"]["info"]
        assert info["action"] == action
        if action == "cancel":
            assert info["payload"]["trade_id"] == repr({1, 2})
        else:
            assert info["payload"] == payload

    def test_request_that_is_not_a_dict_is_reported(self, matcher, printed):
        matcher.pending_order_queue.put(["add"])
        matcher.add_pending_order_queue("add", ADD)
        next_report(matcher)
        assert printed.lines[0].startswith("[red]接收委託單失敗: ")

    def test_failing_logger_does_not_stop_the_thread(self, matcher, printed, monkeypatch):
        class BrokenLogger:
            def error(self, text):
                raise OSError("disk full")
        monkeypatch.setattr(matcher_module, "logger", BrokenLogger())
        matcher.add_pending_order_queue("modify", {})
        matcher.add_pending_order_queue("add", ADD)
        assert next_report(matcher)["operation_type"] is OperationType.NEW


class SlowLedger(RecordingLedger):
    """Gives the receiver every chance to run while a fill is being booked."""

    def __init__(self):
        super().__init__()
        self.matcher = None
        self.changed_during_booking = 0

    def set_positions(self, trade, product_type):
        before = [id(o) for o in self.matcher.pending_orders]
        time.sleep(0.0005)  # releases the GIL
        if [id(o) for o in self.matcher.pending_orders] != before:
            self.changed_during_booking += 1
        super().set_positions(trade, product_type)


@pytest.mark.timeout(60)
def test_request_burst_interleaved_with_matching_loses_nothing(printed):
    ledger = SlowLedger()
    m = Matcher(ledger)
    ledger.matcher = m
    total = 300
    codes = ["2330", "2317", "TXF"]

    def producer():
        for n in range(total):
            code = codes[n % 3]
            m.add_pending_order_queue("add", dict(
                ADD, code=code, qty=1 + n % 3,
                product_type="Future" if code == "TXF" else "Stock"))

    thread = threading.Thread(target=producer, daemon=True)
    thread.start()
    expected_qty = sum(1 + n % 3 for n in range(total))
    filled = 0
    reports = []
    deadline = time.monotonic() + 40
    ts = 1700000000.0
    while filled < expected_qty and time.monotonic() < deadline:
        for code in codes:
            ts += 1.0
            m.match_deal(code, 100.0, 2, ts)
        for r in drain(m):
            reports.append(r)
            if "exchange_seqno" in r:
                filled += r["quantity"]
    thread.join(timeout=10)
    reports += drain(m)
    news = [r for r in reports if r.get("operation_type") is OperationType.NEW]
    deals = [r for r in reports if "exchange_seqno" in r]
    assert len(news) == total
    assert sum(d["quantity"] for d in deals) == expected_qty == filled
    assert m.pending_orders == []
    # every order was reported as accepted before any of its fills
    seen = set()
    for r in reports:
        if "exchange_seqno" in r:
            assert r["id"] in seen
        else:
            seen.add(r["order"]["id"])
    assert sum(c["quantity"] for (c,) in ledger.named("add_trade_record")) == expected_qty
    assert ledger.changed_during_booking == 0
    assert printed.lines.count("") == 0 and len(printed.lines) == total


def test_process_exits_cleanly_while_the_receiver_is_busy(tmp_path):
    script = tmp_path / "busy_exit.py"
    script.write_text(
        "import sys, types\n"
        "sys.modules['quarvel.modules.positions.positions'] = types.SimpleNamespace(\n"
        "    Positions=object)\n"
        "from quarvel.modules.matcher import matcher as mm\n"
        "class Quiet:\n"
        "    def print(self, *args, **kwargs):\n"
        "        pass\n"
        "mm.console = Quiet()\n"
        "m = mm.Matcher(object())\n"
        "for _ in range(3000):\n"
        f"    m.add_pending_order_queue('add', {ADD!r})\n")
    done = subprocess.run([sys.executable, str(script)], env={"PYTHONPATH": package_root()},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
