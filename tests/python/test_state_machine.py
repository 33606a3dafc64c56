"""Random runs of add, modify, cancel and match with valid and junk values mixed: a call
either completes or changes nothing, and the ledger and exchange stay consistent after
every step.

CI runs a modest number of examples. A deep run:
    QUARVEL_STATE_EXAMPLES=1000 QUARVEL_STATE_STEPS=60 \
        python -m pytest -s --timeout 0 tests/python/test_state_machine.py
prints the steps taken, junk values tried and invariant checks made.
"""

import math
import os
import queue
from collections import Counter

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

from quarvel import invariants
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions.positions import Positions

EXAMPLES = int(os.environ.get("QUARVEL_STATE_EXAMPLES", "20"))
STEPS = int(os.environ.get("QUARVEL_STATE_STEPS", "50"))
COUNTS: Counter = Counter()

CODES = {"2330": "Stock", "TXF": "Future"}
JUNK_CODES = ["", "A" * 33, "\ud800", "../2330", "a\x00b"]
JUNK_PRICES = [0.0, -1.0, math.nan, math.inf, -math.inf, 1e308, 1e10]
JUNK_QTYS = [2**62, 10**9 + 1]
JUNK_TIMES = [math.nan, -1e18, 10.0, 5e9, math.inf]


class Junk:
    """A value the simulator must refuse, kept apart from valid draws by its wrapper."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Junk({self.value!r})"


def mixed(valid, junk):
    """Mostly `valid`, one draw in eight from `junk`."""
    bad = st.sampled_from(junk).map(Junk)
    return st.integers(0, 7).flatmap(lambda n: bad if n == 7 else valid)


def unwrap(*values):
    """The plain values, and whether any of them was junk."""
    return [v.value if isinstance(v, Junk) else v for v in values], any(
        isinstance(v, Junk) for v in values)


prices = mixed(st.integers(1100, 1300).map(lambda n: n / 2), JUNK_PRICES)
quantities = mixed(st.integers(1, 12), JUNK_QTYS)


def queued(q):
    with q.mutex:
        return list(q.queue)


class Exchange(RuleBasedStateMachine):
    matcher = None  # one per run: each Matcher keeps a receiver thread for good

    def __init__(self):
        super().__init__()
        self.p = Positions()
        if Exchange.matcher is None:
            Exchange.matcher = Matcher(self.p)
        self.m = Exchange.matcher
        self.m.positions = self.p
        del self.m.pending_orders[:]
        while True:
            try:
                self.m.response_queue.get_nowait()
            except queue.Empty:
                break
        self.m.reset_tick_infos()
        self.ts = 1_700_000_000.0

    def snapshot(self):
        p, m = self.p, self.m
        return repr((m.pending_orders, queued(m.response_queue), p.positions, p.current_capital,
                     p.trade_records, p._profit_report, p._account_infos, p.product_type_mapper))

    def attempt(self, call, junk, refused):
        """Runs `call`; a refused call must change nothing, and must be refused when asked."""
        COUNTS["steps"] += 1
        COUNTS["junk values"] += junk
        before = self.snapshot()
        try:
            call()
        except (ValueError, TypeError):
            assert self.snapshot() == before
            return
        assert not refused, "a junk value was accepted"

    @rule(code=mixed(st.sampled_from(["2330", "2330", "TXF"]), JUNK_CODES),
          action=st.sampled_from(["Buy", "Sell"]), price=prices, qty=quantities,
          price_type=st.sampled_from(["LMT", "LMT", "MKT"]),
          order_type=st.sampled_from(["ROD", "ROD", "IOC", "FOK"]))
    def add(self, code, action, price, qty, price_type, order_type):
        # A market order's price is never used, so only a limit order must refuse junk there.
        refused = isinstance(code, Junk) or isinstance(qty, Junk) or (
            isinstance(price, Junk) and price_type == "LMT")
        (code, price, qty), junk = unwrap(code, price, qty)
        product_type = CODES.get(code, "Stock")
        self.attempt(lambda: self.m.add_order(code, product_type, action, price, qty,
                                              price_type, order_type), junk, refused)

    @rule(pick=st.integers(0, 5), cut=st.one_of(st.none(), mixed(st.integers(1, 6), [-2])),
          price=st.one_of(st.none(), prices))
    def modify(self, pick, cut, price):
        orders = self.m.pending_orders
        order = orders[pick % len(orders)] if orders else {"trade_id": "missing", "quantity": 0}
        # A price of 0.0 means "no new price"; a cut that empties the order makes it moot.
        refused = bool(orders) and (isinstance(cut, Junk) or (
            isinstance(price, Junk) and price.value != 0.0 and cut != order["quantity"]))
        (cut, price), junk = unwrap(cut, price)
        if not cut and not price:
            return
        self.attempt(lambda: self.m.modify_order(order["trade_id"], cut, price), junk, refused)

    @rule(pick=st.integers(0, 5))
    def cancel(self, pick):
        orders = self.m.pending_orders
        trade_id = orders[pick % len(orders)]["trade_id"] if orders else "missing"
        self.attempt(lambda: self.m.cancel_order(trade_id), False, False)

    @rule(pick=st.integers(0, 5), close=prices,
          volume=mixed(st.integers(0, 15), [-1, 10**9 + 1]),
          step=mixed(st.integers(1, 600), JUNK_TIMES),
          stamp=mixed(st.none(), [-1e18, math.nan, "x"]))
    def match(self, pick, close, volume, step, stamp):
        # Mostly a tick of a code that has resting orders, so fills and covers happen.
        orders = self.m.pending_orders
        code = orders[pick % len(orders)]["code"] if orders else "2330"
        # A junk report time matters only when a cancel is booked, so it need not be refused.
        refused = any(isinstance(v, Junk) for v in (close, volume, step))
        (close, volume, step, stamp), junk = unwrap(close, volume, step, stamp)
        ts = step if isinstance(step, float) else self.ts + step
        if not refused:
            self.ts = ts
        self.m.set_current_tick({"market_type": CODES[code],
                                 "timestamp": self.ts if stamp is None else stamp,
                                 "code": code, "close": 100.0, "qty": 1, "tick_type": 1,
                                 "is_simulate": False, "is_backfilling": False})
        self.attempt(lambda: self.m.match_deal(code, close, volume, ts), junk, refused)

    @rule(action=st.sampled_from(["Buy", "Sell"]),
          key=st.sampled_from(["product_type", "price", "quantity", "code", "action"]),
          value=st.sampled_from([None, -1, math.nan, 2**62, b"x"]))
    def book_junk_deal(self, action, key, value):
        deal = {"code": "2330", "action": action, "price": 600.0, "quantity": 1,
                "exchange_ts": self.ts, "product_type": "Stock"}
        product_type = "Bond" if key == "product_type" else "Stock"
        if key != "product_type":
            deal[key] = value
        COUNTS["steps"] += 1
        COUNTS["junk values"] += 1
        before = self.snapshot()
        try:
            self.p.set_positions(deal, product_type)
        except Exception:  # the ledger's refusals include KeyError and a plain Exception
            assert self.snapshot() == before
            return
        raise AssertionError(f"junk deal booked: {key}={value!r}")

    def teardown(self):
        COUNTS["fills booked"] += sum(r["trade_status"] == "Deal" for r in self.p.trade_records)
        COUNTS["cover chunks"] += len(self.p._profit_report["rows"])

    @invariant()
    def consistent(self):
        COUNTS["invariant checks"] += 1
        invariants.check(self.p, self.m)


def test_no_step_leaves_state_half_applied(printed):
    run_state_machine_as_test(Exchange, settings=settings(
        max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
        suppress_health_check=list(HealthCheck)))
    print(f"\nstate machine: {dict(COUNTS)}")
