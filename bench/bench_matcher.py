"""Microseconds per Matcher call: match_deal with no order of the tick's code, match_deal
filling one ROD order, and add_order. Console output goes to a no-op.

    PYTHONPATH=src python bench/bench_matcher.py [--stand-in]

By default fills are booked into the real Positions ledger; --stand-in books them into a
minimal recording object instead, to show the matcher's own share.
"""

import argparse
import time

from quarvel.modules.matcher import matcher as matcher_module
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions import positions as positions_module
from quarvel.modules.positions.positions import Positions

TICK_TIME = 1_700_000_000.0  # seconds since the epoch; ticks before 1971 are refused


class NoOpConsole:
    def print(self, *args, **kwargs):
        pass


class StandInLedger:
    def __init__(self):
        self.count = 0

    def set_current_tick(self, tick):
        pass

    def add_trade_record(self, **kwargs):
        self.count += 1

    def set_positions(self, trade, product_type):
        self.count += 1


def best_us(fn, n, between=None, chunk=500):
    """Per-call microseconds over `n` calls run in chunks: the best chunk (closest to an
    unloaded machine, as timeit's minimum) and the overall mean, both wall time, plus the
    mean CPU time of this thread. `between` runs untimed after every chunk, as a driver
    drains its reports."""
    best = float("inf")
    wall = cpu = calls = 0
    while calls < n:
        w, c = time.perf_counter_ns(), time.thread_time_ns()
        for _ in range(chunk):
            fn()
        elapsed = time.perf_counter_ns() - w
        cpu += time.thread_time_ns() - c
        wall += elapsed
        calls += chunk
        best = min(best, elapsed / chunk / 1000)
        if between:
            between()
    return (f"best {best:.2f} us/call, mean {wall / calls / 1000:.2f} us/call wall, "
            f"{cpu / calls / 1000:.2f} us/call cpu")


def drain(m):
    """Between chunks: drain the reports, and keep the ledger's book and journal from
    growing without bound (every fill opens one more long entry)."""
    def run():
        while not m.response_queue.empty():
            m.response_queue.get_nowait()
        for name in ("trade_records", "positions"):
            if hasattr(m.positions, name):
                getattr(m.positions, name).clear()
    return run


def resting_elsewhere(m, count=100):
    for i in range(count):
        m.add_order(f"{1100 + i}", "Stock", "Buy", 50.0, 1, "LMT", "ROD")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stand-in", action="store_true")
    parser.add_argument("-n", type=int, default=100000)
    args = parser.parse_args()
    matcher_module.console = NoOpConsole()
    positions_module.console = NoOpConsole()
    make_ledger = StandInLedger if args.stand_in else Positions
    print(f"ledger: {'stand-in' if args.stand_in else 'Positions'}")

    m = Matcher(make_ledger())
    resting_elsewhere(m)
    m.set_current_tick({"code": "2330", "timestamp": TICK_TIME})
    miss = best_us(lambda: m.match_deal("2330", 600.0, 5, TICK_TIME), args.n)
    print(f"(a) match_deal, no order of the code, 100 resting elsewhere: {miss}")

    m = Matcher(make_ledger())
    resting_elsewhere(m)
    tick = {"market_type": "Stock", "timestamp": TICK_TIME, "code": "2330", "close": 600.0,
            "qty": 1, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
    m.set_current_tick(tick)
    # One ROD order large enough to take one lot from every tick.
    m.add_order("2330", "Stock", "Buy", 600.0, 10**9, "LMT", "ROD")
    fills = max(args.n // 4, 1000)
    fill = best_us(lambda: m.match_deal("2330", 600.0, 1, TICK_TIME), fills, between=drain(m))
    print(f"(b) match_deal filling one ROD order (1 lot): {fill}")

    m = Matcher(make_ledger())
    add = best_us(lambda: m.add_order("2330", "Stock", "Buy", 600.0, 1, "LMT", "ROD"),
                  args.n // 4, between=drain(m))
    print(f"add_order: {add}")


if __name__ == "__main__":
    main()
