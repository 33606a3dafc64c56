"""ReplayStep, the driver's per-tick call: the same stream as pop_tick/allow_next_tick, the
exchange's and the quote store's calls in order on every tick, a Ticker's own overrides
honoured."""

import time

import pytest

from quarvel.modules.ticker.ticker import ReplayStep, Ticker
from test_ticker_playback import MAIN, STOCK, broker, make_ticker  # noqa: F401
from ticker_fakes import BACKFILL_DONE, END, drain_stream

pytestmark = pytest.mark.timeout(60)


class Recorder:
    """Stands in for the matcher and the quote manager: notes every per-tick call."""

    def __init__(self):
        self.calls = []

    def set_current_tick(self, tick):
        self.calls.append(("set_current_tick", tick["timestamp"]))

    def add_tick(self, tick):
        self.calls.append(("add_tick", tick["timestamp"]))

    def match_deal(self, code, close, qty, ts):
        self.calls.append(("match_deal", (code, close, qty, ts)))


def replay(step, limit=100):
    items = []
    for _ in range(limit):
        item = step()
        items.append(item)
        if item == END:
            return items
    pytest.fail("stream did not end")


@pytest.mark.parametrize("override", [False, True], ids=["own", "subclass-pop_tick"])
def test_step_plays_the_stream_and_runs_the_per_tick_calls(make_ticker, override):  # noqa: F811
    expected = drain_stream(_started(make_ticker(broker(main_rows=4))))
    ticker = make_ticker(broker(main_rows=4))
    popped = []
    if override:
        # A Ticker whose pop_tick is its own: the step must go through it.
        plain = ticker.pop_tick
        ticker.pop_tick = lambda: popped.append(1) or plain()
    recorder = Recorder()
    items = replay(ReplayStep(_started(ticker), recorder, recorder))
    assert items == expected
    ticks = [i for i in items if "orva_status" not in i]
    assert len(ticks) == 4 and (len(popped) == len(items) if override else not popped)
    assert recorder.calls == [
        call for t in ticks for call in (
            ("set_current_tick", t["timestamp"]), ("add_tick", t["timestamp"]),
            ("match_deal", (t["code"], t["close"], t["qty"], t["timestamp"])))]


def test_status_items_take_no_token_and_a_bad_tick_is_refused():
    class Scripted(Ticker):
        def __init__(self, items):
            self.items, self.allowed = list(items), 0

        def pop_tick(self):
            return self.items.pop(0)

        def allow_next_tick(self):
            self.allowed += 1

    tick = {"code": "2330", "close": 1.0, "qty": 1, "timestamp": 1.0}
    ticker = Scripted([tick, BACKFILL_DONE, tick, END])
    step = ReplayStep(ticker, Recorder(), Recorder())
    assert [step() for _ in range(4)] == [tick, BACKFILL_DONE, tick, END]
    assert ticker.allowed == 2  # each tick released before the next pop; markers never
    ticker = Scripted([{"code": "2330", "close": 1.0, "timestamp": 1.0}])
    with pytest.raises(KeyError, match="qty"):
        ReplayStep(ticker, Recorder(), Recorder())()


def _started(ticker):
    ticker.send_ticks(STOCK, MAIN, MAIN)
    return ticker


def _real_run(make_ticker, wrap):  # noqa: F811
    """A replay through a real exchange, ledger and quote store with one resting order;
    `wrap` replaces the per-tick methods on the instances (the step must then call them)."""
    from quarvel.modules.matcher.matcher import Matcher
    from quarvel.modules.positions.positions import Positions, QuoteManager

    positions = Positions()
    matcher, quotes = Matcher(positions), QuoteManager()
    calls = []
    if wrap:
        for target, name in ((matcher, "set_current_tick"), (matcher, "match_deal"),
                             (quotes, "add_tick"), (positions, "set_current_tick")):
            method = getattr(target, name)
            setattr(target, name,
                    lambda *a, _m=method, _n=name: calls.append(_n) or _m(*a))
    matcher.add_order("2330", "Stock", "Buy", 600.0, 2, "LMT", "ROD")
    for _ in range(500):  # the receiver thread books the order
        if matcher.pending_orders:
            break
        time.sleep(0.01)
    items = replay(ReplayStep(_started(make_ticker(broker(main_rows=4))), matcher, quotes))
    rows = [dict(r) for r in quotes.ticks["2330"]["ticks"]]
    state = (rows, quotes.ticks["2330"]["last_tick"],
             {c: i["ts"] for c, i in matcher.current_tick_infos.items()},
             {c: t["timestamp"] for c, t in positions.current_tick_infos.items()},
             [(r["price"], r["quantity"]) for r in positions.trade_records])
    return items, state, calls


def test_the_classes_own_methods_leave_what_the_replaced_ones_do(make_ticker):  # noqa: F811
    """The step runs a class's own per-tick methods without calling them; a method replaced
    on the instance is called, and both leave the same store, ticks and fills."""
    items, fast, none = _real_run(make_ticker, wrap=False)
    _, called, calls = _real_run(make_ticker, wrap=True)
    assert not none and fast == called
    assert len(fast[0]) == 4 and fast[4], "the ticks were stored and the order filled"
    assert calls.count("add_tick") == calls.count("match_deal") == 4
    assert calls.count("set_current_tick") == 8  # the exchange's, then the ledger's


def test_a_last_tick_someone_holds_is_never_refilled():
    from quarvel.modules.positions.positions import QuoteManager

    quotes = QuoteManager()
    tick = {"market_type": "Stock", "timestamp": 1704245400.0, "code": "2330", "close": 580.0,
            "qty": 1, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
    quotes.add_tick(tick)
    held = quotes.ticks["2330"]["last_tick"]
    seen = dict(held)
    quotes.add_tick(dict(tick, timestamp=1704245401.0, close=581.0))
    assert held == seen and quotes.ticks["2330"]["last_tick"] is not held
    assert quotes.ticks["2330"]["last_tick"]["close"] == 581.0


def test_the_step_polls_the_bar_feed_it_was_given(make_ticker):  # noqa: F811
    class Feed:  # any object with poll(): called as a method
        polls = 0

        def poll(self):
            Feed.polls += 1
            return [("2330", Feed.polls)] if Feed.polls % 2 else None

    step = ReplayStep(_started(make_ticker(broker(main_rows=4))), Recorder(), Recorder(), Feed())
    seen = []
    while (item := step()) != END:
        if isinstance(item, tuple):  # a tick at which bars closed comes with them
            assert item[1] is step.closed
            item = item[0]
        if "orva_status" not in item:
            seen.append(step.closed)
    assert seen == [[("2330", 1)], None, [("2330", 3)], None]


def test_a_method_replaced_during_the_replay_is_called_from_then_on(make_ticker):  # noqa: F811
    from quarvel.modules.matcher.matcher import Matcher
    from quarvel.modules.positions.positions import Positions, QuoteManager

    class Quotes(QuoteManager):
        pass

    matcher, quotes, seen = Matcher(Positions()), Quotes(), []
    step = ReplayStep(_started(make_ticker(broker(main_rows=4))), matcher, quotes)
    step(), step()  # two ticks through the entries
    quotes.add_tick = lambda tick: seen.append(("instance", tick["close"]))
    step()
    del quotes.add_tick
    Quotes.add_tick = lambda self, tick: seen.append(("class", tick["close"]))
    step()
    assert seen == [("instance", 582.0), ("class", 583.0)]
    assert len(quotes.ticks["2330"]["ticks"]) == 2


def test_a_tick_changed_by_the_strategy_leaves_the_next_ones_as_played(make_ticker):  # noqa: F811
    # Ticks of a code are copies of one shape that keeps the values they share.
    expected = drain_stream(_started(make_ticker(broker(main_rows=4))))
    step = ReplayStep(_started(make_ticker(broker(main_rows=4))), Recorder(), Recorder())
    played = []
    while not played or played[-1] != END:
        item = step()
        played.append(dict(item))
        if "orva_status" not in item:
            item.update(close=-1.0, qty=-1, timestamp=-1.0, code="X", tick_type=9)
    assert played == expected
