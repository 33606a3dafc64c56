"""The one trading rule every system runs, and the tick files they all read.

Rule: closes of completed one-minute bars; fast = mean of the last 10, slow = mean of the
last 30; state = long when fast > slow, else short; evaluated once per new traded minute
over every bar before it, from the first time 30 completed bars exist. The first state only
sets the direction; every later change of state is a signal: flip to +1 / -1 contract.
"""

from __future__ import annotations

import csv
import glob
import json
import os
import time
from pathlib import Path

FAST = 10
SLOW = 30
CODE = "TXFR1"


def _shared_ticks() -> Path:
    """`shared/data/ticks` beside the checkout (or beside a folder holding it, for worktrees)."""
    repo = Path(__file__).resolve().parents[2]
    for folder in repo.parents:
        candidate = folder / "shared" / "data" / "ticks"
        if candidate.is_dir():
            return candidate
    return repo.parent / "shared" / "data" / "ticks"


def ticks_dir(argument: str | None = None) -> Path:
    """The tick folder: the argument, else $QUARVEL_PEERS_TICKS, else the shared real days."""
    return Path(argument or os.environ.get("QUARVEL_PEERS_TICKS") or _shared_ticks())


def tick_files(folder: Path) -> list[str]:
    return sorted(glob.glob(str(folder / f"{CODE} *-*-* - ticks.csv")))


def read_ticks(folder: Path, with_side: bool = False) -> list[tuple]:
    """(ts ns as stored, price, size[, tick_type]) of every tick of the files, in file order."""
    rows = []
    for path in tick_files(folder):
        with open(path, newline="", encoding="utf-8") as handle:
            for row in csv.DictReader(handle):
                tick = (int(row["ts"]), float(row["close"]), int(row["volume"]))
                rows.append(tick + (int(row["tick_type"]),) if with_side else tick)
    return rows


class Crossover:
    """State and signal count of the rule above; `evaluate` takes the completed closes."""

    def __init__(self) -> None:
        self.long: bool | None = None
        self.signals = 0

    def evaluate(self, closes) -> int:
        """Target position (+1, -1, or 0 before the first signal) after these completed closes."""
        if len(closes) < SLOW:
            return 0
        window = closes[-SLOW:]
        long = sum(window[-FAST:]) * SLOW > sum(window) * FAST  # fast > slow, exact on prices
        if self.long is not None and long != self.long:
            self.signals += 1
        self.long = long
        return (1 if long else -1) if self.signals else 0


class Timer:
    """Wall and CPU time (every thread of the process) of the timed block."""

    def __enter__(self) -> "Timer":
        self.wall, self.cpu = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc) -> None:
        self.wall = time.perf_counter() - self.wall
        self.cpu = time.process_time() - self.cpu


def report(system: str, path: str, ticks: int, timer: Timer, signals: int | None, **extra) -> None:
    print(json.dumps({"system": system, "path": path, "ticks": ticks,
                      "seconds": round(timer.wall, 4), "cpu_seconds": round(timer.cpu, 4),
                      "ticks_per_s": round(ticks / timer.wall),
                      "cpu_ticks_per_s": round(ticks / timer.cpu), "signals": signals, **extra}),
          flush=True)
