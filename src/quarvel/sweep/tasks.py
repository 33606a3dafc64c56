"""One sweep task: one backtest of one parameter set over one window, on a worker."""

from __future__ import annotations

import logging
import os
import threading
import time
import traceback
from dataclasses import dataclass

from quarvel.sweep import engine
from quarvel.sweep.data_shipping import install_files, worker_data_dir
from quarvel.sweep.grid import Window
from quarvel.sweep.strategy_ref import StrategyRef

# The driver's settings (data folder, time zone, module consoles) are per process:
# tasks that share a worker process take turns.
_process_lock = threading.Lock()


@dataclass(frozen=True)
class TaskSpec:
    index: int
    params: dict
    window: Window
    strategy: StrategyRef
    codes: tuple[dict, ...]
    initial_capital: int | None = None
    reports: bool = False


class _ContractTable:
    def __init__(self, codes: set[str], security_type: str) -> None:
        self._codes, self._security_type = codes, security_type

    def __getitem__(self, code: str):
        from quarvel.offline_api import Contract

        if code not in self._codes:
            raise KeyError(code)
        return Contract(code, self._security_type)

    def __contains__(self, code: object) -> bool:
        return code in self._codes


class _Contracts:
    def __init__(self, codes) -> None:
        self.Stocks = _ContractTable({c["code"] for c in codes if c["market"] == "Stock"}, "STK")
        self.Futures = _ContractTable({c["code"] for c in codes if c["market"] == "Future"},
                                      "FUT")


class CacheOnlyAPI:
    """The broker as a worker sees it: contracts are known, downloads are refused.

    Every code-day a task needs was shipped into the worker's cache; a download request
    means one is missing, which must fail the task rather than reach a broker.
    """

    def __init__(self, codes) -> None:
        self.Contracts = _Contracts(codes)

    def __bool__(self) -> bool:
        return True

    def ticks(self, contract, date):
        raise RuntimeError(f"{contract.code} {date} was not shipped to this worker "
                           "(workers never call the broker)")


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


def base_row(spec: TaskSpec) -> dict:
    return {"task": spec.index, "params": dict(spec.params), "window": spec.window,
            "metrics": {}, "ticks": None, "seconds": None, "error": None, "run": None,
            "files": {}}


def run_task(spec: TaskSpec, files: dict[str, tuple[str, bytes]]) -> dict:
    """Run `spec` on this worker after installing `files` into its cache; never raises."""
    # The report library asks for fonts a worker may not have; the fallback is fine.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    row = base_row(spec)
    started = time.perf_counter()
    with _process_lock:
        try:
            data_dir = worker_data_dir()
            install_files(files, data_dir)
            strategy = spec.strategy.load()(**spec.params)
            result, folder = engine.run_one(
                strategy, [dict(c) for c in spec.codes], spec.window.start, spec.window.end,
                api=CacheOnlyAPI(spec.codes), data_dir=data_dir,
                initial_capital=spec.initial_capital, write_reports=spec.reports)
            row["metrics"] = engine.metrics_of(result)
            row["ticks"] = int(result.ticks)
            row["run"] = os.path.basename(folder) if folder else None
            if spec.reports:
                row["files"] = _run_files(folder)
        except Exception as error:
            row["error"] = describe_error(error)
            row["traceback"] = traceback.format_exc()
    row["seconds"] = time.perf_counter() - started
    return row
