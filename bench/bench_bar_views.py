"""Bar views and bar events: `context.bars(code, "m", 1, n)` per call after every tick and
with no new tick, the feed's poll per tick, against get_kbar after every tick.

    PYTHONPATH=src python bench/bench_bar_views.py [--quick]
"""

import argparse
import time

from bench_quote_manager import CODE, session_ticks
from quarvel.backtest.bar_events import make_feed
from quarvel.backtest.context import BacktestContext
from quarvel.modules.positions.positions import QuoteManager


def per_call_us(fn, calls):
    cpu = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - cpu) / calls * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    warm, calls = (20_000, 20_000) if args.quick else (100_000, 100_000)
    qm = QuoteManager()
    feed = make_feed(qm)
    feed.subscribe(CODE, "m", 1)
    ticks = session_ticks(5)  # warm-up and every timed loop draw from it
    for _ in range(warm):
        qm.add_tick(next(ticks))
    feed.tail(CODE, "m", 1, 100)  # the first call reads the whole history
    feed.poll()

    print(f"bars(n=100), no new tick:     {per_call_us(lambda: feed.tail(CODE, 'm', 1, 100), calls):6.2f} us CPU per call")
    context = BacktestContext(None, None, qm, None, bar_feed=feed)
    print(f"context.bars(n=100):          {per_call_us(lambda: context.bars(CODE, 'm', 1, 100), calls):6.2f} us CPU per call")
    print(f"bars(n=31),  no new tick:     {per_call_us(lambda: feed.tail(CODE, 'm', 1, 31), calls):6.2f} us CPU per call")

    def add_then(call):
        def step():
            qm.add_tick(next(ticks))
            call()
        return step

    add_only = per_call_us(lambda: qm.add_tick(next(ticks)), calls)
    with_tail = per_call_us(add_then(lambda: feed.tail(CODE, "m", 1, 100)), calls)
    with_poll = per_call_us(add_then(feed.poll), calls)
    print(f"bars(n=100) after every tick: {with_tail - add_only:6.2f} us CPU per call")
    print(f"poll() after every tick:      {with_poll - add_only:6.2f} us CPU per call")
    view = feed.tail(CODE, "m", 1, 100)
    print(f"view.Close (numpy, 100 bars): {per_call_us(lambda: view.Close, calls):6.2f} us CPU")
    with_kbar = per_call_us(add_then(lambda: qm.get_kbar(CODE, "m", 1)), calls // 4)
    print(f"get_kbar after every tick:    {with_kbar - add_only:6.2f} us CPU per call")


if __name__ == "__main__":
    main()
