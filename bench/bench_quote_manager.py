"""Quote manager figures: add_tick per tick, get_kbar after every tick (with one and with
twenty days of history), a full 1-minute build of 1,000,000 ticks, memory per stored tick.

    PYTHONPATH=src python bench/bench_quote_manager.py [--quick]
"""

import argparse
import gc
import os
import random
import statistics
import time
from datetime import datetime, timedelta

from quarvel.modules.positions.positions import QuoteManager

CODE = "TXFR1"
STEP = 0.6  # seconds between synthetic ticks: about 114,000 futures ticks a trading day


def trading_days(count, first=datetime(2024, 3, 4)):
    day = first
    while count:
        if day.weekday() < 5:
            yield day
            count -= 1
        day += timedelta(days=1)


def session_ticks(days):
    """Futures ticks of whole trading days (night session before, day session), as tick
    dicts; one dict object is reused, as add_tick keeps no reference to it."""
    rng = random.Random(7)
    price = 20000.0
    tick = {"market_type": "Future", "timestamp": 0.0, "code": CODE, "close": price, "qty": 1,
            "tick_type": 1, "is_simulate": False, "is_backfilling": False}
    for day in trading_days(days):
        for start, end in ((day - timedelta(hours=9), day - timedelta(hours=9) + timedelta(hours=14)),
                           (day + timedelta(hours=8, minutes=45), day + timedelta(hours=13, minutes=45))):
            t, stop = start.timestamp(), end.timestamp()
            while t < stop:
                price += rng.choice((-1.0, 0.0, 1.0))
                tick["timestamp"] = t
                tick["close"] = price
                tick["qty"] = rng.randrange(1, 6)
                yield tick
                t += STEP


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bench_add_tick(count, rounds=5):
    """Best and median of several rounds: the machine is shared, so single runs are noisy.
    CPU time of the process is shown next to the wall clock for the same reason."""
    ticks = [dict(t) for _, t in zip(range(count), session_ticks(2))]
    wall, cpu = [], []
    for _ in range(rounds):
        qm = QuoteManager()
        add = qm.add_tick
        begin, begin_cpu = time.perf_counter(), time.process_time()
        for t in ticks:
            add(t)
        wall.append((time.perf_counter() - begin) / count * 1e6)
        cpu.append((time.process_time() - begin_cpu) / count * 1e6)
    print(f"(a) add_tick without gaps, {count:,} ticks x {rounds} rounds: "
          f"best {min(wall):.3f} us/tick, median {statistics.median(wall):.3f} us "
          f"(CPU time: best {min(cpu):.3f}, median {statistics.median(cpu):.3f})")


def bench_get_kbar_every_tick(history_days, calls):
    qm = QuoteManager()
    source = session_ticks(history_days + 1)
    stored = 0
    for t in source:
        qm.add_tick(t)
        stored += 1
        if stored >= history_days * 114_000:
            break
    qm.get_kbar(CODE, "m", 1)  # the full build, not timed
    timings, cpu = [], []
    for _, t in zip(range(calls), source):
        qm.add_tick(t)
        begin, begin_cpu = time.perf_counter_ns(), time.process_time_ns()
        qm.get_kbar(CODE, "m", 1)
        cpu.append(time.process_time_ns() - begin_cpu)
        timings.append(time.perf_counter_ns() - begin)
    bars = qm.get_kbar(CODE, "m", 1).height
    timings.sort()
    print(f"(b) get_kbar(m, 1) after every tick, {history_days:>2} day(s) stored "
          f"({stored:,} ticks, {bars:,} bars), {calls:,} calls: "
          f"mean {statistics.fmean(timings) / 1e3:.1f} us, "
          f"median {timings[len(timings) // 2] / 1e3:.1f} us, "
          f"p99 {timings[int(len(timings) * 0.99)] / 1e3:.1f} us "
          f"(CPU time: mean {statistics.fmean(cpu) / 1e3:.1f} us)")


def bench_real_futures(calls):
    """(b) on recorded TXFR1 trades: four days stored, then the fifth day tick by tick."""
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/python"))
    from quote_ticks import futures_files, futures_ticks

    files = futures_files()
    if len(files) < 5:
        print("(b) real futures data not available: skipped")
        return
    qm = QuoteManager()
    stored = 0
    for path in files[:4]:
        for t in futures_ticks(path, CODE):
            qm.add_tick(t)
            stored += 1
    qm.get_kbar(CODE, "m", 1)
    timings, cpu = [], []
    for t in futures_ticks(files[4], CODE)[:calls]:
        qm.add_tick(t)
        begin, begin_cpu = time.perf_counter_ns(), time.process_time_ns()
        qm.get_kbar(CODE, "m", 1)
        cpu.append(time.process_time_ns() - begin_cpu)
        timings.append(time.perf_counter_ns() - begin)
    timings.sort()
    print(f"(b) get_kbar(m, 1) after every real TXFR1 tick, 4 recorded days stored "
          f"({stored:,} ticks), {len(timings):,} calls: mean {statistics.fmean(timings) / 1e3:.1f} us, "
          f"median {timings[len(timings) // 2] / 1e3:.1f} us "
          f"(CPU time: mean {statistics.fmean(cpu) / 1e3:.1f} us)")


def bench_full_build_and_memory(count):
    gc.collect()
    qm = QuoteManager()
    qm.add_tick(next(session_ticks(1)))  # warm up: module state, first allocations
    qm.clear_ticks()
    before = rss_bytes()
    for _, t in zip(range(count), session_ticks(count // 100_000 + 2)):
        qm.add_tick(t)
    gc.collect()
    after_store = rss_bytes()
    begin = time.perf_counter()
    bars = qm.get_kbar(CODE, "m", 1)
    elapsed = time.perf_counter() - begin
    rows = len(qm.ticks[CODE]["old_ticks"])
    print(f"(c) full 1-minute build of {count:,} stored ticks ({rows:,} rows with virtual ones, "
          f"{bars.height:,} bars): {elapsed:.3f} s")
    print(f"(d) memory per stored tick (RSS growth while storing): "
          f"{(after_store - before) / count:.1f} bytes")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes for a smoke run")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    # First, while the process has freed nothing yet: later stages would reuse freed memory
    # and hide the growth.
    bench_full_build_and_memory(1_000_000 // scale)
    bench_add_tick(200_000 // scale)
    for days in (1, 20):
        bench_get_kbar_every_tick(days if not args.quick else 1, 20_000 // scale)
    bench_real_futures(20_000 // scale)


if __name__ == "__main__":
    main()
