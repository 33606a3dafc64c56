"""Matcher construction, current tick per code, the report queue and identifiers."""

import queue
import re
import subprocess
import sys
import textwrap
import threading

import pytest

from matcher_support import (  # noqa: F401
    RecordingLedger, drain, ledger, matcher, package_root, place, tick)
from quarvel.modules.matcher import matcher as matcher_module
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions.positions import Positions



def test_attributes_in_documented_order(matcher, ledger):
    assert list(vars(matcher)) == [
        "pending_orders", "response_queue", "pending_order_queue", "current_tick_infos",
        "positions", "account_info", "exchange_info"]
    assert matcher.pending_orders == [] and matcher.current_tick_infos == {}
    assert isinstance(matcher.response_queue, queue.Queue)
    assert isinstance(matcher.pending_order_queue, queue.Queue)
    assert matcher.positions is ledger
    assert matcher.account_info == {"account_id": "BT-00001"}
    assert matcher.exchange_info == {"name": "ORVA Backtest Exchange"}


@pytest.mark.parametrize("given", [None, 0, "", []])
def test_falsy_ledger_builds_its_own(given):
    assert type(Matcher(given).positions) is Positions


def test_receiver_thread_is_a_running_daemon(matcher):
    receivers = [t for t in threading.enumerate()
                 if getattr(getattr(t, "_target", None), "__self__", None) is matcher]
    assert len(receivers) == 1 and receivers[0].daemon and receivers[0].is_alive()
    assert receivers[0]._target.__func__ is Matcher._Matcher__receive_pending_order


def test_module_level_names():
    for name in ["copy", "json", "queue", "traceback", "generate", "Thread", "Action",
                 "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType",
                 "OCType", "SuccessCode", "console", "logger", "Positions"]:
        assert hasattr(matcher_module, name), name
    for name in ["init_current_tick_info", "get_random_uuid", "receive_pending_order"]:
        assert callable(getattr(Matcher, f"_Matcher__{name}"))


class TestCurrentTick:
    def test_same_code_twice_keeps_one_entry_with_latest_tick(self, matcher, ledger):
        first, second = tick(ts=1.0), tick(ts=2.5)
        matcher.set_current_tick(first)
        matcher.set_current_tick(second)
        assert list(matcher.current_tick_infos) == ["2330"]
        info = matcher.current_tick_infos["2330"]
        assert list(info) == ["ts", "tick"]
        assert info["tick"] is second and info["ts"] == 2.5
        assert [c[1] for c in ledger.calls] == [first, second]

    def test_missing_timestamp_raises_after_earlier_steps(self, matcher, ledger):
        bad = {"code": "2330"}
        with pytest.raises(KeyError):
            matcher.set_current_tick(bad)
        assert matcher.current_tick_infos["2330"]["tick"] is bad
        assert ledger.calls == []

    def test_reset_replaces_dict_and_orders_report_none(self, matcher):
        matcher.set_current_tick(tick(ts=7.0))
        old = matcher.current_tick_infos
        matcher.reset_tick_infos()
        assert old["2330"]["ts"] == 7.0 and matcher.current_tick_infos == {}
        place(matcher)
        assert drain(matcher)[0]["trade_status"]["exchange_ts"] is None

    def test_init_tick_info_is_fresh(self, matcher):
        info = matcher._Matcher__init_current_tick_info("x")
        assert info == {"ts": None, "tick": None}
        assert matcher._Matcher__init_current_tick_info("x") is not info


class TestQueue:
    def test_pop_blocks_until_another_thread_queues(self, matcher):
        got = []
        waiter = threading.Thread(target=lambda: got.append(matcher.pop_response()))
        waiter.start()
        waiter.join(timeout=0.2)
        assert waiter.is_alive() and got == []
        matcher.add_response_to_queue({"n": 1})
        waiter.join(timeout=5)
        assert got == [{"n": 1}]

    def test_reports_come_back_in_queue_order(self, matcher):
        for n in range(3):
            matcher.add_response_to_queue({"n": n})
        assert [matcher.pop_response()["n"] for _ in range(3)] == [0, 1, 2]


def test_identifiers_are_16_url_safe_characters(matcher):
    ids = {matcher._Matcher__get_random_uuid() for _ in range(200)}
    assert len(ids) == 200
    assert all(re.fullmatch(r"[A-Za-z0-9_-]{16}", i) for i in ids)
    assert re.fullmatch(r"[A-Za-z0-9_-]{16}", place(matcher)["trade_id"])


@pytest.mark.parametrize(
    "call, arg",
    [(lambda m: m.set_current_tick([]), "tick"),
     (lambda m: m.add_response_to_queue("x"), "response"),
     (lambda m: m._Matcher__init_current_tick_info(1), "code"),
     (lambda m: m.add_pending_order_queue(1, {}), "action"),
     (lambda m: m.add_pending_order_queue("add", []), "payload")])
def test_wrong_types_name_the_argument(matcher, call, arg):
    with pytest.raises(TypeError, match=arg):
        call(matcher)
    assert matcher.current_tick_infos == {} and matcher.response_queue.empty()


@pytest.mark.parametrize("default, loads", [("5", False), ("None", True)])
def test_add_order_defaults_checked_at_import(default, loads):
    script = textwrap.dedent(f"""
        import sys, types
        # the ledger module is not under test here; skip its heavy imports
        sys.modules["quarvel.modules.positions.positions"] = types.SimpleNamespace(
            Positions=object)
        import quarvel.constant as c
        class Fake:
            class CASH:
                value = {default}
            from_value = staticmethod(lambda v: v)
        c.OrderCond = Fake
        try:
            import quarvel.modules.matcher.matcher as mm
        except ImportError as e:
            print(type(e.__cause__).__name__, e.__cause__)
        else:
            m = mm.Matcher(object())
            m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD", order_cond=None)
            print("loaded", m.pending_orders[0]["order_cond"])
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env={"PYTHONPATH": package_root(), "PATH": "/usr/bin:/bin"}, timeout=60)
    expected = "loaded None" if loads else (
        "TypeError OrderCond.CASH.value must be str or None, not int")
    assert expected in out.stdout, out.stderr


def test_attributes_replaced_between_ticks_are_read_again(printed):
    """set_current_tick keeps the attributes it reads on every tick only while the instance
    is unchanged: a dict or a ledger put in their place takes the next tick."""
    from quote_ticks import tick

    first, second, third = (tick(f"2024-03-04 09:00:0{s}") for s in range(3))
    matcher = Matcher(Positions())
    matcher.set_current_tick(first)
    infos, other = {}, Positions()
    matcher.current_tick_infos, matcher.positions = infos, other
    matcher.set_current_tick(second)
    assert infos["2330"]["tick"] is second and other.current_tick_infos["2330"] is second
    ledger_infos = {}
    other.current_tick_infos = ledger_infos
    matcher.set_current_tick(third)
    assert ledger_infos["2330"] is third and infos["2330"]["tick"] is third
