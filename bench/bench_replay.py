"""Where an empty strategy's run goes on real days: the phases of `run_backtest`, the replay
step alone, and each per-tick call made as a method.

    PYTHONPATH=src python bench/bench_replay.py [--ticks-dir DIR]

DIR holds TXFR1 tick files (default: $QUARVEL_PEERS_TICKS, else the team data folder beside
this checkout). Prints one JSON line per figure; CPU figures are the main thread's.
"""

from __future__ import annotations

import argparse
import io
import json
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "peers"))

from crossover import CODE, tick_files, ticks_dir  # noqa: E402

ROUNDS = 3


class _Timed:
    """An empty strategy that notes when the run starts, its first tick and its end."""

    def on_start(self, context) -> None:
        self.first = None
        self.start = time.perf_counter()

    def on_tick(self, context, tick) -> None:
        if self.first is None:
            self.first = time.perf_counter()

    def on_end(self, context) -> None:
        self.end = time.perf_counter()


def phases(folder: Path, days: list[str]) -> dict:
    from quarvel import backtest

    codes = backtest.parse_codes(f"{CODE}:Future")
    best = None
    for _ in range(ROUNDS):
        strategy = _Timed()
        began = time.perf_counter()
        result = backtest.run_backtest(strategy, codes, days[0], days[-1], ticks_dir=str(folder),
                                       write_reports=False, progress=False, strict=False)
        total = time.perf_counter() - began
        if best is None or total < best["seconds"]:
            best = {"seconds": round(total, 3), "ticks": result.ticks,
                    "ticks_per_s": round(result.ticks / total),
                    "load_s": round(strategy.first - strategy.start, 3),
                    "replay_us_per_tick": round(1e6 * (strategy.end - strategy.first)
                                                / result.ticks, 2),
                    "after_s": round(began + total - strategy.end, 3)}
    return {"figure": "empty_run_phases", **best}


class _FollowsBars:
    """Bar events with nothing done in them: what a bar strategy's run allocates."""

    bars = [(CODE, "m", 1)]

    def on_bar(self, context, code, bar) -> None:
        pass


def repeated_runs(folder: Path, days: list[str], runs: int = 8) -> dict:
    """Whole runs one after another in one process, as in a notebook or a sweep worker:
    the spread, and how many full passes of the garbage collector they took."""
    import gc
    import statistics

    from quarvel import backtest

    codes = backtest.parse_codes(f"{CODE}:Future")
    keep = [list(range(50)) for _ in range(200_000)]  # a notebook's earlier objects
    full_passes = []
    gc.callbacks.append(lambda phase, info: phase == "start" and info["generation"] == 2
                        and full_passes.append(1))
    rates = []
    for _ in range(runs):
        began = time.perf_counter()
        result = backtest.run_backtest(_FollowsBars(), codes, days[0], days[-1],
                                       ticks_dir=str(folder), write_reports=False,
                                       progress=False, strict=False)
        rates.append(result.ticks / (time.perf_counter() - began))
    gc.callbacks.pop()
    del keep
    return {"figure": "repeated_runs", "runs": runs,
            "ticks_per_s_median": round(statistics.median(rates)),
            "ticks_per_s_worst": round(min(rates)), "full_gc_passes": len(full_passes)}


def _started_objects(folder: Path, codes, days):
    from quarvel.backtest.loop import _make_objects
    from quarvel.data.checked_ticker import CheckedTicker
    from quarvel.data.problems import ProblemLog
    from quarvel.offline_api import OfflineAPI

    ticker = CheckedTicker(OfflineAPI(tick_dir=str(folder)), cache_dir=tempfile.mkdtemp(),
                           log=ProblemLog())
    matcher, positions, quotes, _ = _make_objects(ticker)
    ticker.send_ticks(codes, days[0], days[-1], None, None)
    return ticker, matcher, quotes


def step_alone(folder: Path, days: list[str]) -> dict:
    """The replay step in a bare loop, after the days are loaded: the engine's part."""
    from quarvel.constant import FLAG
    from quarvel.modules.ticker.ticker import ReplayStep

    end = FLAG.exit_send_tick.value
    codes = [{"code": CODE, "market": "Future"}]
    costs, ticks = [], 0
    for _ in range(ROUNDS):
        ticker, matcher, quotes = _started_objects(folder, codes, days)
        step = ReplayStep(ticker, matcher, quotes)
        step()  # the first tick waits for the loading
        ticks = 1
        began = time.thread_time()
        while True:
            item = step()
            if "orva_status" in item:
                if item["orva_status"] == end:
                    break
                continue
            ticks += 1
        costs.append((time.thread_time() - began) / (ticks - 1))
        ticker.join_threads()
    return {"figure": "replay_step_cpu", "ticks": ticks,
            "us_per_tick_best": round(1e6 * min(costs), 3)}


def calls_as_methods(folder: Path, days: list[str]) -> list[dict]:
    """Each per-tick call made from Python on the same ticks (the step makes them natively)."""
    from quarvel.constant import FLAG
    from quarvel.modules.matcher.matcher import Matcher
    from quarvel.modules.positions.positions import Positions, QuoteManager

    codes = [{"code": CODE, "market": "Future"}]
    ticker, _, _ = _started_objects(folder, codes, days[:1])
    ticks = []
    while (item := ticker.pop_tick()).get("orva_status") != FLAG.exit_send_tick.value:
        if "orva_status" not in item:
            ticks.append(item)
        ticker.allow_next_tick()
    ticker.join_threads()
    figures = []
    for name in ("set_current_tick", "add_tick", "match_deal"):
        best = None
        for _ in range(ROUNDS):
            positions = Positions()
            matcher, quotes = Matcher(positions), QuoteManager()
            began = time.perf_counter()
            if name == "set_current_tick":
                for tick in ticks:
                    matcher.set_current_tick(tick)
            elif name == "add_tick":
                for tick in ticks:
                    quotes.add_tick(tick)
            else:
                for tick in ticks:
                    matcher.match_deal(tick["code"], tick["close"], tick["qty"],
                                       tick["timestamp"])
            cost = (time.perf_counter() - began) / len(ticks)
            best = cost if best is None else min(best, cost)
        figures.append({"figure": f"method_{name}", "ticks": len(ticks),
                        "us_per_call_best": round(1e6 * best, 3)})
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks-dir", default=None)
    folder = ticks_dir(parser.parse_args().ticks_dir)
    days = [Path(p).name.split(" ")[1] for p in tick_files(folder)]
    if not days:
        print(json.dumps({"figure": "empty_run_phases", "skipped": f"no {CODE} files in "
                          f"{folder}"}))
        return 0
    from quarvel.backtest.market_time import use_timezone
    from quarvel.constant import BASIC_INFO
    from rich.console import Console

    use_timezone()
    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="quarvel-bench-")
    for module in ("matcher", "positions", "ticker"):  # printing is not what is measured
        __import__(f"quarvel.modules.{module}.{module}")
        sys.modules[f"quarvel.modules.{module}.{module}"].console = Console(file=io.StringIO())
    print(json.dumps(phases(folder, days)), flush=True)
    print(json.dumps(repeated_runs(folder, days)), flush=True)
    print(json.dumps(step_alone(folder, days)), flush=True)
    for figure in calls_as_methods(folder, days):
        print(json.dumps(figure), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
