"""Boundary fuzzing: no input makes a native method crash or hang the interpreter.

Every public method, property and name-mangled private method of the native classes is
called with arbitrary arguments, and again after public attributes were replaced by
wrong-typed objects; each call must return or raise an ordinary Python exception.
A segfault or abort ends the whole pytest process; a hang is ended by the timeout.

Examples per method: QUARVEL_FUZZ_EXAMPLES (default 40, the CI setting). A deep run, with
calls and outcomes per method written to a JSON file:
    QUARVEL_FUZZ_EXAMPLES=2000 QUARVEL_FUZZ_STATS=fuzz-stats.json \
        python -m pytest tests/deep/test_fuzz_boundary.py -q
and against the sanitizer build: QUARVEL_FUZZ_EXAMPLES=500 tools/run_sanitized.sh \
    tests/deep/test_fuzz_boundary.py

Calls that block by design: the pops (pop_positions, pop_finish_notify, pop_response,
pop_tick, the tick queue's get) are called with their queue already holding an item; the
matcher's receiver loop and the tick source's playback, backfilling and send_ticks have
dedicated tests below (requests with a hand-shake marker; playback with more tokens than
rows and the backfilling flag set as send_ticks sets it). Matchers built here get a
stand-in Thread class, so the thousands of objects do not each leave a receiver thread.
"""

from __future__ import annotations

import importlib
import json
import os
import queue
import signal
import threading
from types import MappingProxyType

import fuzz_values as fv
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quarvel.constant import BASIC_INFO

MODULES = {
    "Positions": "quarvel.modules.positions.positions",
    "QuoteManager": "quarvel.modules.positions.positions",
    "Matcher": "quarvel.modules.matcher.matcher",
    "Ticker": "quarvel.modules.ticker.ticker",
    "HandoffQueue": "quarvel.modules.ticker.ticker",
}
NATIVE_MODULES = sorted(set(MODULES.values()))

# Methods that wait on a queue without a time limit: the queue attribute they take from.
BLOCKING_POPS = {
    "pop_positions": "fetch_position_queue",
    "pop_finish_notify": "finish_fetch_position_queue",
    "pop_response": "response_queue",
    "pop_tick": "tick_queue",
}
# Endless or token-paced loops and thread starters: exercised by dedicated tests instead.
NOT_CALLED = {
    "Matcher": {"_Matcher__receive_pending_order"},
    "Ticker": {"_Ticker__push_tick_to_queue", "backfilling", "send_ticks"},
}
# Methods that render report files: each call costs up to seconds, so fewer examples.
SLOW = {"generate_standard_report", "generate_qs_profit_report"}

SETTINGS = settings(
    max_examples=fv.EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
)


class NullSink:
    """Console and logger stand-in: fuzzing prints thousands of lines otherwise."""

    def print(self, *args, **kwargs):
        pass

    def error(self, *args, **kwargs):
        pass


class NoThread:
    """Stands in for threading.Thread in the matcher module: no receiver per example."""

    def __init__(self, *args, target=None, daemon=None, **kwargs):
        self.target = target

    def start(self):
        pass


class FakeBrokerAPI:
    """Broker API stand-in: contracts resolve, each day has no ticks."""

    class _Contracts:
        Stocks = MappingProxyType({"2330": "2330", "0050": "0050"})
        Futures = MappingProxyType({"TXFA4": "TXFA4"})

    Contracts = _Contracts()

    def ticks(self, contract=None, date=None):
        return {"ts": [], "close": [], "volume": [], "bid_price": [], "bid_volume": [],
                "ask_price": [], "ask_volume": [], "tick_type": []}


def native_class(name):
    try:
        module = importlib.import_module(MODULES[name])
    except ImportError:
        return None
    return getattr(module, name, None)


def make_instance(name):
    cls = native_class(name)
    if name == "Matcher":
        positions_cls = native_class("Positions")
        return cls(positions_cls())
    if name == "Ticker":
        return cls(FakeBrokerAPI())
    return cls()


def fuzzed_members(name):
    """Public callables and properties, and the private methods under their mangled names."""
    cls = native_class(name)
    if cls is None:
        return []
    prefix = f"_{name}__"
    members = []
    for attr in sorted(dir(cls)):
        if attr.startswith("__") or attr in NOT_CALLED.get(name, ()):
            continue
        if attr.startswith("_") and not attr.startswith(prefix):
            continue
        members.append(attr)
    return members


CASES = [pytest.param(name, member, id=f"{name}.{member}")
         for name in MODULES for member in fuzzed_members(name)]
CLASSES = [name for name in MODULES if native_class(name) is not None]


@pytest.fixture(scope="module", autouse=True)
def quiet_and_isolated(tmp_path_factory):
    """Silent console and logger, data files under a scratch folder, no receiver threads."""
    patch = pytest.MonkeyPatch()
    sink = NullSink()
    for module_name in NATIVE_MODULES:
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            continue
        for attr in ("console", "logger"):
            if hasattr(module, attr):
                patch.setattr(module, attr, sink)
        if hasattr(module, "Thread"):
            patch.setattr(module, "Thread", NoThread)
    patch.setattr(BASIC_INFO, "data_dir", str(tmp_path_factory.mktemp("fuzz-data")))
    yield
    patch.undo()
    stats_path = os.environ.get("QUARVEL_FUZZ_STATS")
    if stats_path:
        with open(stats_path, "w", encoding="utf-8") as out:
            json.dump({k: dict(v) for k, v in sorted(fv.OUTCOMES.items())}, out, indent=1,
                      ensure_ascii=False)


def prefill(target):
    """One item into a queue (queue.Queue or the tick source's native queue), if it is one."""
    if isinstance(target, queue.Queue) or type(target).__name__ == "HandoffQueue":
        target.put({"orva_status": "fuzz"})


def invoke(obj, name, member, args, kwargs):
    """One fuzzed call; blocking pops get an item first so they return at once."""
    key = f"{name}.{member}"
    queue_attr = BLOCKING_POPS.get(member)
    if queue_attr is not None:
        prefill(getattr(obj, queue_attr, None))
    if name == "HandoffQueue" and member == "get":
        prefill(obj)
    attr = getattr(type(obj), member)
    if isinstance(attr, property):
        fv.call_survives(key, getattr, (obj, member))
    else:
        fv.call_survives(key, getattr(obj, member), args, kwargs)


def examples_for(member):
    return max(3, fv.EXAMPLES // 10) if member in SLOW else fv.EXAMPLES


@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@pytest.mark.parametrize(("name", "member"), CASES)
def test_method_answers_arbitrary_arguments(name, member):
    params, varargs = fv.signature_of(getattr(native_class(name), member))

    @settings(SETTINGS, max_examples=examples_for(member))
    @given(fv.call_arguments(params, varargs))
    def run(call):
        args, kwargs = call
        invoke(make_instance(name), name, member, args, kwargs)

    run()


@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@pytest.mark.parametrize(("name", "member"), CASES)
def test_method_answers_with_attributes_replaced(name, member):
    params, varargs = fv.signature_of(getattr(native_class(name), member))
    attributes = sorted(getattr(make_instance(name), "__dict__", ()))
    if not attributes:
        pytest.skip(f"{name} keeps no public attributes")
    queues = set(BLOCKING_POPS.values()) | {"pending_order_queue", "allow_next_tick_flag_queue",
                                            "backfilling_notify_finish_queue"}

    @settings(SETTINGS, max_examples=examples_for(member))
    @given(replaced=st.dictionaries(st.sampled_from(attributes), fv.arbitrary(), min_size=1,
                                    max_size=3),
           call=fv.call_arguments(params, varargs))
    def run(replaced, call):
        obj = make_instance(name)
        # Should a pop ignore the replaced attribute, it still finds an item and returns.
        for queue_attr in set(BLOCKING_POPS.values()) & set(vars(obj)):
            prefill(getattr(obj, queue_attr))
        for attr, value in replaced.items():
            # A replaced queue must never be a real empty queue: a pop would wait forever.
            assert not (attr in queues and isinstance(value, queue.Queue))
            setattr(obj, attr, value)
        args, kwargs = call
        invoke(obj, name, member, args, kwargs)

    run()


@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@pytest.mark.parametrize("name", CLASSES)
def test_call_sequences_on_one_object(name):
    """Random sequences of calls on one object reach states single calls never do."""
    members = fuzzed_members(name)
    signatures = {m: fv.signature_of(getattr(native_class(name), m)) for m in members}
    fast = [m for m in members if m not in SLOW]

    @settings(SETTINGS)
    @given(st.data())
    def run(data):
        obj = make_instance(name)
        for member in data.draw(st.lists(st.sampled_from(fast), min_size=1, max_size=12)):
            args, kwargs = data.draw(fv.call_arguments(*signatures[member]))
            invoke(obj, name, f"{member}", args, kwargs)

    run()


@pytest.mark.parametrize(("text", "shown"), [
    ("a\x00b", "a\x00b"),
    ("\ud800", "\\ud800"),
    ("台積電", "台積電"),
])
def test_error_messages_keep_unusual_text(text, shown):
    positions_cls = native_class("Positions")
    with pytest.raises(ValueError) as caught:
        positions_cls().update_fee_settings(text)
    assert str(caught.value) == "不支援的商品類型: " + shown


@pytest.mark.skipif(native_class("Matcher") is None, reason="matcher not built")
@pytest.mark.timeout(120, method="thread")
@settings(SETTINGS, max_examples=min(50, max(5, fv.EXAMPLES // 4)))
@given(requests=st.lists(st.one_of(fv._request(), fv.arbitrary()), min_size=1, max_size=15))
def test_receiver_thread_survives_arbitrary_requests(requests):
    """Any request payload is answered by the receiver loop, which then takes the next one."""
    module = importlib.import_module(MODULES["Matcher"])
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(module, "Thread", threading.Thread)
        matcher = make_instance("Matcher")
    done = threading.Event()

    class Marker:
        def print(self, text="", *args, **kwargs):
            if "fuzz-sentinel" in str(text):
                done.set()

        def error(self, *args, **kwargs):
            pass

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(module, "console", Marker())
        for request in requests:
            if isinstance(request, dict) and type(request.get("action")) is str \
                    and type(request.get("payload")) is dict:
                matcher.add_pending_order_queue(request["action"], request["payload"])
            else:
                matcher.pending_order_queue.put(request)
        matcher.add_pending_order_queue("cancel", {"trade_id": "fuzz-sentinel"})
        assert done.wait(30), "the receiver stopped taking requests"


def _tick(code, close, qty, k):
    market = "Future" if code.startswith("TX") else "Stock"
    return dict(fv.TICK, code=code, close=close, qty=qty, market_type=market,
                timestamp=fv.TICK["timestamp"] + 61.0 * k)


def _deal(code, action, qty, price):
    market = "Future" if code.startswith("TX") else "Stock"
    return dict(fv.DEAL, code=code, action=action, quantity=qty, price=price,
                product_type=market)


def warm_up_calls(name):
    """Valid calls that fill an object's containers: resting orders, a position book with
    longs and shorts, ticks of two codes, cached K-bars."""
    if name == "Positions":
        return [("set_current_tick", (_tick("2330", 600.0, 5, 0),)),
                ("set_current_tick", (_tick("TXFA4", 17000.0, 2, 0),)),
                ("set_positions", (_deal("2330", "Buy", 2, 600.0), "Stock")),
                ("set_positions", (_deal("2330", "Buy", 1, 601.0), "Stock")),
                ("set_positions", (_deal("TXFA4", "Sell", 2, 17000.0), "Future")),
                ("set_positions", (_deal("2330", "Sell", 1, 605.0), "Stock")),
                ("add_trade_record", ("AbCdEfGhIjKlMnOp", "2330", "Buy", 1, 600.0,
                                      1704157200.0, "Deal"))]
    if name == "Matcher":
        orders = [("2330", "Stock", "Buy", 600.0, 2, "LMT", "ROD"),
                  ("2330", "Stock", "Sell", 598.0, 1, "LMT", "IOC"),
                  ("2330", "Stock", "Buy", 601.0, 3, "MKT", "FOK"),
                  ("TXFA4", "Future", "Sell", 17000.0, 1, "LMT", "ROD"),
                  ("2330", "Stock", "Buy", 602.0, 1, "LMT", "ROD")]
        return [("set_current_tick", (_tick("2330", 600.0, 5, 0),))] + \
            [("add_order", order) for order in orders]
    if name == "QuoteManager":
        calls = [("add_tick", (_tick(code, 600.0 + k, 1 + k, k),))
                 for k in range(4) for code in ("2330", "TXFA4")]
        return calls + [("get_kbar", ("2330", "m", 1)),
                        ("add_tick", (_tick("2330", 601.0, 1, 9),))]
    return []


@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@pytest.mark.parametrize("name", CLASSES)
def test_values_calling_back_into_the_object(name):
    """Stored values whose comparison, hash or conversion empties or replaces the object's
    containers while a native loop is walking them (the sanitizer run checks the memory)."""
    members = [m for m in fuzzed_members(name) if m not in SLOW]
    signatures = {m: fv.signature_of(getattr(native_class(name), m)) for m in members}

    @settings(SETTINGS)
    @given(st.data())
    def run(data):
        obj = make_instance(name)
        for member, args in warm_up_calls(name):
            if hasattr(obj, member):  # methods of branches not built yet are left out
                getattr(obj, member)(*args)
        for member in data.draw(st.lists(st.sampled_from(members), max_size=4)):
            args, kwargs = data.draw(fv.call_arguments(*signatures[member], valid_only=True))
            invoke(obj, name, member, args, kwargs)
        slots = fv.leaf_slots(obj)
        if slots:
            for container, key in data.draw(st.lists(st.sampled_from(slots), min_size=1,
                                                     max_size=3)):
                action = data.draw(st.sampled_from(["clear", "clear_all", "replace",
                                                    "delete"]))
                try:
                    container[key] = fv.Reentrant(obj, action, container[key])
                except (KeyError, IndexError):  # an earlier wrap already emptied it
                    pass
        # Then every method once, in a drawn order, on the booby-trapped state.
        for member in data.draw(st.permutations(members)):
            args, kwargs = data.draw(fv.call_arguments(*signatures[member], valid_only=True))
            invoke(obj, name, member, args, kwargs)

    run()


# ----- the tick source's thread-starting and token-paced operations -------------------------------

ticker_required = pytest.mark.skipif(native_class("Ticker") is None, reason="ticker not built")
_valid_codes = st.lists(st.sampled_from([{"code": "2330", "market": "Stock"},
                                         {"code": "TXFA4", "market": "Future"}]),
                        min_size=1, max_size=2)
_codes_lists = st.sampled_from(["valid", "valid", "shaped", "any"]).flatmap(
    lambda kind: {"valid": _valid_codes, "any": fv.arbitrary(),
                  "shaped": st.lists(fv.shaped(fv.CODES_ENTRY), max_size=2)}[kind])
_range_bounds = st.sampled_from(["valid", "valid", "dates", "any"]).flatmap(
    lambda kind: {"valid": st.sampled_from(["2024-01-02", "2024-01-03"]),
                  "dates": fv._dates(), "any": fv.arbitrary()}[kind])


def _drain_until_end(ticker):
    """Consume the stream as the driver does; the end-of-stream marker must come."""
    end_value = importlib.import_module("quarvel.constant").FLAG.exit_send_tick.value
    while True:
        item = ticker.tick_queue.get(timeout=60)
        if isinstance(item, dict) and item.get("orva_status") == end_value:
            return
        if isinstance(item, dict) and "orva_status" not in item:
            ticker.allow_next_tick()


@ticker_required
@pytest.mark.timeout(fv.TIMEOUT, method="thread")
# A bad backfilling range raises in the backfilling thread and ends it, as designed.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
@settings(SETTINGS, max_examples=min(60, fv.EXAMPLES))
@given(codes=_codes_lists, start=_range_bounds, end=_range_bounds,
       backfill=st.one_of(st.none(), st.tuples(_range_bounds, _range_bounds)))
def test_ticker_playback_with_arbitrary_ranges_ends(codes, start, end, backfill):
    ticker = make_instance("Ticker")
    args = [codes, start, end] + (list(backfill) if backfill else [])
    try:
        ticker.send_ticks(*args)
    except SystemError as error:
        raise AssertionError(f"send_ticks: {error!r}") from error
    except Exception as error:  # noqa: BLE001 - refused before any thread started
        fv.record("Ticker.send_ticks", type(error).__name__)
        return
    fv.record("Ticker.send_ticks", "returned")
    _drain_until_end(ticker)


@ticker_required
@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@settings(SETTINGS, max_examples=min(60, fv.EXAMPLES))
@given(codes=_codes_lists, start=st.one_of(st.none(), _range_bounds),
       end=st.one_of(st.none(), _range_bounds))
def test_ticker_backfilling_answers_arbitrary_ranges(codes, start, end):
    # The stand-in broker has no ticks, so backfilling never waits for a token.
    fv.call_survives("Ticker.backfilling", make_instance("Ticker").backfilling,
                     (codes, start, end))


@ticker_required
@pytest.mark.timeout(fv.TIMEOUT, method="thread")
@settings(SETTINGS, max_examples=min(60, fv.EXAMPLES))
@given(frame=st.one_of(fv._tick_frames(), fv.arbitrary(), st.builds(
    lambda n, code: _tick_table(n, code), st.integers(0, 3),
    st.sampled_from(["2330", "", "台積電", "x" * 300]))))
def test_ticker_playback_body_answers_arbitrary_tables(frame):
    ticker = make_instance("Ticker")
    # As send_ticks leaves it without a backfilling range; a fresh object waits for the end
    # of a backfilling by design (playback never overtakes backfilled ticks).
    ticker.backfilling_finish_flag = True
    for _ in range(8):  # more tokens than rows: the playback never waits
        ticker.allow_next_tick()
    fv.call_survives("Ticker._Ticker__push_tick_to_queue",
                     ticker._Ticker__push_tick_to_queue, (frame,))


def _tick_table(rows, code):
    import polars as pl

    return pl.DataFrame({
        "ts": [1704157200_000_000_000 + i for i in range(rows)], "close": [600.0] * rows,
        "volume": [1] * rows, "bid_price": [599.0] * rows, "bid_volume": [1] * rows,
        "ask_price": [601.0] * rows, "ask_volume": [1] * rows, "tick_type": [1] * rows,
        "code": [code] * rows,
    })


@ticker_required
def test_queue_get_raises_when_block_flag_cannot_be_tested():
    handoff = importlib.import_module(MODULES["HandoffQueue"]).HandoffQueue()
    handoff.put("kept")
    with pytest.raises(fv.FuzzError):
        handoff.get(fv.Hostile())
    assert handoff.get_nowait() == "kept"


@pytest.mark.skipif(native_class("Matcher") is None, reason="matcher not built")
@pytest.mark.parametrize("action", ["clear", "clear_all", "replace", "delete"])
@pytest.mark.parametrize("field", ["code", "price", "order_type", "quantity"])
def test_matching_survives_a_stored_value_that_empties_the_orders(action, field):
    """A resting order whose field, when matching compares or converts it, empties the order
    list: the pass must not read the emptied list (this once crashed the interpreter)."""
    matcher = make_instance("Matcher")
    matcher.set_current_tick(_tick("2330", 600.0, 5, 0))
    for _ in range(4):
        matcher.add_order("2330", "Stock", "Buy", 600.0, 1, "LMT", "ROD")
    first = matcher.pending_orders[0]
    first[field] = fv.Reentrant(matcher, action, first[field])
    fv.call_survives("Matcher.match_deal", matcher.match_deal, ("2330", 600.0, 5, 1.0))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.timeout(60, method="thread")
def test_huge_slippage_tick_count_can_be_interrupted():
    """One step per tick: 2**62 steps would run for centuries, but a signal stops them."""
    positions = native_class("Positions")()

    class Alarm(Exception):
        pass

    def on_alarm(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Alarm):
            positions._Positions__calculate_slippage_price("2330", 600.0, 2**62, "up")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Chunked steps give the same price as single steps.
    assert positions._Positions__calculate_slippage_price("2330", 600.0, 3, "up") == 603.0
    assert positions._Positions__calculate_slippage_price("2330", 500.0, 3, "down") == 498.0
    # 400 one-unit ticks up to 1000, then steps of 5, across two chunks.
    assert positions._Positions__calculate_slippage_price("2330", 600.0, 2**21 + 7, "up") == \
        1000.0 + 5 * (2**21 + 7 - 400)
