"""One sweep task: one backtest of one parameter set over one window, on a worker."""

from __future__ import annotations

import os
import threading
import time
import traceback
import warnings
from dataclasses import dataclass
from typing import Any

from quarvel.sweep import engine
from quarvel.sweep.data_shipping import install_files, worker_data_dir
from quarvel.sweep.grid import Window
from quarvel.sweep.strategy_ref import StrategyRef

# The driver's settings (data folder, time zone, module consoles) are per process:
# tasks that share a worker process take turns.
_process_lock = threading.Lock()


@dataclass(frozen=True)
class SweepTask:
    index: int
    params: dict
    window: Window
    strategy: StrategyRef
    codes: tuple[dict, ...]
    initial_capital: int | None = None
    reports: bool = False
    rules: Any = None  # a name or a rules object of quarvel.rules (pickled to the workers)


def describe_error(error: BaseException) -> str:
    """One line: the error and, for an incomplete run, each of its problems."""
    text = f"{type(error).__name__}: {error}"
    problems = getattr(getattr(error, "result", None), "problems", None) or []
    missing = [str(p) for p in problems if str(p) not in text]
    return " | ".join([text.replace("\n", " "), *missing]) if missing else text.replace("\n", " ")


def _run_files(folder: str | None) -> dict[str, bytes]:
    files: dict[str, bytes] = {}
    if not folder or not os.path.isdir(folder):
        return files
    for root, dirs, names in os.walk(folder):  # os.walk does not follow the cache link
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as handle:
                files[os.path.relpath(path, folder)] = handle.read()
    return files


def base_row(task: SweepTask) -> dict:
    return {"task": task.index, "params": dict(task.params), "window": task.window,
            "metrics": {}, "ticks": None, "seconds": None, "error": None, "run": None,
            "files": {}}


def run_task(task: SweepTask, files: dict[str, tuple[str, bytes]]) -> dict:
    """Run `task` on this worker after installing `files` into its cache; never raises."""
    row = base_row(task)
    started = time.perf_counter()
    with _process_lock:
        try:
            data_dir = worker_data_dir()
            install_files(files, data_dir)
            strategy = task.strategy.load()(**task.params)
            with warnings.catch_warnings():  # the report libraries' chatter, per run
                warnings.simplefilter("ignore")
                result, folder = engine.run_one(
                    strategy, [dict(c) for c in task.codes], task.window.start,
                    task.window.end, data_dir=data_dir, initial_capital=task.initial_capital,
                    write_reports=task.reports, rules=task.rules)
            row["metrics"] = engine.metrics_of(result)
            row["ticks"] = int(result.ticks)
            row["run"] = os.path.basename(folder) if folder else None
            if task.reports:
                row["files"] = _run_files(folder)
        except Exception as error:
            row["error"] = describe_error(error)
            row["traceback"] = traceback.format_exc()
    row["seconds"] = time.perf_counter() - started
    return row
