"""Playback benchmark: hand-off speed, main-loop speed, memory, combining time.

    PYTHONPATH=src python bench/bench_playback.py [--ticks N] [--queues default|python]

(a) bare consumer loop (pop_tick, allow_next_tick) in ticks/s
(b) the driver's main loop (Matcher.set_current_tick, QuoteManager.add_tick,
    Matcher.match_deal) with no orders, using whichever of those exist yet
(c) peak resident memory above the table itself during playback (a)
(d) seconds to combine 20 cached trading days of two codes

--queues python replaces the Ticker's three queues with queue.Queue, which is how the
hand-off worked before the native queue.
"""

from __future__ import annotations

import argparse
import importlib
import queue
import tempfile
import threading
import time

import numpy as np
import polars as pl

from quarvel.constant import BASIC_INFO
from quarvel.modules.ticker import ticker as ticker_module
from quarvel.offline_api import OfflineAPI

END = "exit_send_tick"


class Quiet:
    def print(self, *args, **kwargs):
        pass


def synthetic_table(rows: int) -> pl.DataFrame:
    """`rows` ticks of two codes, sorted by ts then code, in the combined table's shape."""
    rng = np.random.default_rng(7)
    start = 1_704_186_000 * 1_000_000_000
    ts = np.sort(start + rng.integers(0, 5 * 3600 * 10**9, rows))
    return pl.DataFrame({
        "ts": ts,
        "close": np.round(17000 + np.cumsum(rng.integers(-1, 2, rows)), 0).astype(np.float64),
        "volume": rng.integers(1, 10, rows),
        "bid_price": np.zeros(rows), "bid_volume": np.zeros(rows, dtype=np.int64),
        "ask_price": np.zeros(rows), "ask_volume": np.zeros(rows, dtype=np.int64),
        "tick_type": rng.integers(0, 3, rows),
        "code": np.where(rng.random(rows) < 0.5, "TXFR1", "MXFR1"),
    }).sort(["ts", "code"], maintain_order=True)


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def make_ticker(queues: str):
    ticker = ticker_module.Ticker(OfflineAPI())
    if queues == "python":
        for name in ("tick_queue", "allow_next_tick_flag_queue",
                     "backfilling_notify_finish_queue"):
            setattr(ticker, name, queue.Queue())
        ticker.allow_next_tick_flag_queue.put(True)
    ticker.code_market_map.update({"TXFR1": "Future", "MXFR1": "Future"})
    ticker.backfilling_finish_flag = True
    return ticker


def start_playback(ticker, df):
    thread = threading.Thread(target=ticker._Ticker__push_tick_to_queue, args=(df,),
                              daemon=True)
    thread.start()
    return thread


def bench_bare(df, queues):
    ticker = make_ticker(queues)
    pop, allow = ticker.pop_tick, ticker.allow_next_tick
    base = rss_kib("VmRSS")
    peak_known = reset_peak_rss()
    start = time.perf_counter()
    thread = start_playback(ticker, df)
    count = 0
    while True:
        tick = pop()
        if "orva_status" in tick:
            break
        count += 1
        allow()
    elapsed = time.perf_counter() - start
    thread.join(timeout=30)
    peak = rss_kib("VmHWM") if peak_known else rss_kib("VmRSS")
    return count, elapsed, (peak - base) * 1024


def main_loop_parts():
    """Matcher and QuoteManager as far as they exist in this build."""
    parts = {}
    try:
        positions = importlib.import_module("quarvel.modules.positions.positions")
        matcher = importlib.import_module("quarvel.modules.matcher.matcher")
    except ImportError:
        return parts
    if hasattr(matcher, "Matcher"):
        parts["matcher"] = matcher.Matcher()
    elif hasattr(positions, "Positions"):
        parts["positions"] = positions.Positions()  # the ledger side of set_current_tick
    if hasattr(positions, "QuoteManager"):
        try:
            parts["quote_manager"] = positions.QuoteManager()
        except Exception as error:  # not built yet
            print(f"   QuoteManager unavailable: {error}")
    return parts


def bench_main_loop(df, queues):
    parts = main_loop_parts()
    ticker = make_ticker(queues)
    pop, allow = ticker.pop_tick, ticker.allow_next_tick
    matcher = parts.get("matcher")
    positions = parts.get("positions")
    add_tick = getattr(parts.get("quote_manager"), "add_tick", None)
    set_tick = matcher.set_current_tick if matcher else (
        positions.set_current_tick if positions else None)
    match_deal = getattr(matcher, "match_deal", None)
    start = time.perf_counter()
    thread = start_playback(ticker, df)
    count = 0
    while True:
        tick = pop()
        if "orva_status" in tick:
            break
        if set_tick:
            set_tick(tick)
        if add_tick:
            add_tick(tick)
        if match_deal:
            match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        count += 1
        allow()
    elapsed = time.perf_counter() - start
    thread.join(timeout=30)
    used = [name for name, ok in (("Matcher.set_current_tick", matcher),
                                  ("Positions.set_current_tick", positions and not matcher),
                                  ("QuoteManager.add_tick", add_tick),
                                  ("Matcher.match_deal", match_deal)) if ok]
    return count, elapsed, used


def bench_combine(folder):
    BASIC_INFO.data_dir = folder
    api = OfflineAPI(seed=11, ticks_per_minute=60)
    ticker = ticker_module.Ticker(api)
    codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    first, last = "2024-03-01", "2024-03-28"  # 20 trading days
    start = time.perf_counter()
    ticker._Ticker__process_and_combine_ticks(codes, first, last)
    download = time.perf_counter() - start
    start = time.perf_counter()
    df = ticker._Ticker__process_and_combine_ticks(codes, first, last)
    cached = time.perf_counter() - start
    days = len({d for _, d in api.calls if api.is_trading_day(
        __import__("datetime").date.fromisoformat(d))})
    return df.height, days, download, cached


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ticks", type=int, default=1_000_000)
    parser.add_argument("--queues", choices=("default", "python"), default="default")
    parser.add_argument("--skip", default="", help="letters of parts to skip, e.g. bd")
    args = parser.parse_args()
    ticker_module.console = Quiet()

    df = synthetic_table(args.ticks)
    kind = type(make_ticker(args.queues).tick_queue).__name__
    print(f"queues: {kind}; table: {df.height:,} rows, {df.estimated_size() / 2**20:.1f} MiB")
    if "a" not in args.skip:
        count, elapsed, extra = bench_bare(df, args.queues)
        print(f"(a) bare consumer: {count:,} ticks in {elapsed:.2f} s = "
              f"{count / elapsed:,.0f} ticks/s ({elapsed / count * 1e6:.2f} µs/tick)")
        print(f"(c) peak memory above the table during (a): {extra / 2**20:.1f} MiB "
              f"({extra / max(count, 1):.1f} bytes/tick)")
    if "b" not in args.skip:
        count, elapsed, used = bench_main_loop(df, args.queues)
        print(f"(b) main loop [{', '.join(used) or 'no consumers built yet'}]: "
              f"{count / elapsed:,.0f} ticks/s ({elapsed / count * 1e6:.2f} µs/tick)")
    if "d" not in args.skip:
        with tempfile.TemporaryDirectory() as folder:
            rows, days, download, cached = bench_combine(folder)
            print(f"(d) combine {days} cached days x 2 codes ({rows:,} rows): {cached:.2f} s "
                  f"(first run with synthetic download: {download:.2f} s)")


if __name__ == "__main__":
    main()
