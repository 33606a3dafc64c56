"""run_sweep: every (parameter set, window) as one Dask task, gathered into one table."""

from __future__ import annotations

import datetime as dt
import os
import secrets
from typing import Callable, NamedTuple

import polars as pl

from quarvel.backtest.console_routing import routed_consoles
from quarvel.backtest.market_time import MARKET_TIMEZONE, timezone_for_run
from quarvel.backtest.strategy_loading import parse_codes
from quarvel.constant import BASIC_INFO
from quarvel.rules import make_rules
from quarvel.sweep import engine
from quarvel.sweep.cluster import open_client
from quarvel.sweep.data_shipping import ship_files
from quarvel.backtest.outputs import write_atomically
from quarvel.sweep.grid import Window, expand_grid, parse_windows
from quarvel.sweep.report import write_outputs
from quarvel.sweep.strategy_ref import check_parameters, resolve_strategy
from quarvel.sweep.table import build_table, check_metric
from quarvel.sweep.tasks import SweepTask, base_row, run_task


def _prepare(codes, windows: list[Window], *, api, ticks_dir, synthetic, data_dir):
    """Every code-day of every window into the driver's cache once: window -> (paths, problems)."""
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = data_dir
    prepared: dict[tuple[str, str], tuple[list[str], list[str]]] = {}
    try:
        # Per-day download lines stay quiet, as in a run; warnings are still shown.
        with timezone_for_run(MARKET_TIMEZONE), routed_consoles(None):
            for window in windows:
                key = (window.start, window.end)
                if key not in prepared:
                    prepared[key] = engine.prepare_code_days(
                        codes, window.start, window.end, api=api, ticks_dir=ticks_dir,
                        synthetic=synthetic)
    finally:
        BASIC_INFO.data_dir = saved
    return prepared


def _sweep_folder(data_dir: str, strategy_name: str) -> str:
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    return os.path.join(data_dir, "sweeps", f"{stamp}-{strategy_name}-{secrets.token_hex(3)}")


def _save_run_files(folder: str, row: dict) -> None:
    """A task's own reports, sent back by the worker, under the sweep's folder."""
    if not row.get("files") or not row.get("run"):
        return
    base = os.path.join(folder, "runs", os.path.basename(row["run"]))
    for relative, data in row["files"].items():
        parts = relative.replace("\\", "/").split("/")
        if os.path.isabs(relative) or ".." in parts:
            continue  # never write outside the run's folder
        write_atomically(os.path.join(base, *parts), data)


class SweepOutcome(NamedTuple):
    table: pl.DataFrame
    folder: str


def _save_tracebacks(folder: str, rows: list[dict]) -> None:
    """errors.txt: the strategy's own traceback (its file and line) of every failed run."""
    failed = sorted((r for r in rows if r.get("error")), key=lambda r: r["task"])
    if not failed:
        return
    text = "\n".join(f"task {r['task']} {r['params']} {r['window'].label}\n"
                     f"{r.get('traceback') or r['error']}\n" for r in failed)
    write_atomically(os.path.join(folder, "errors.txt"), text.encode("utf-8"))


def _row_of(future, task: SweepTask) -> dict:
    """The task's row; a task Dask itself could not finish (its worker died) is a failed row."""
    if future.status == "finished":
        return future.result()
    row = base_row(task)
    error = future.exception()
    if type(error).__name__ == "KilledWorker":  # its text names a worker: keep rows comparable
        row["error"] = "KilledWorker: the worker process died while running this task"
    else:
        row["error"] = f"{type(error).__name__}: {error}" if error else f"task {future.status}"
    return row


def run_sweep(strategy, codes, grid: dict[str, list] | None = None, windows=(),
              **options) -> pl.DataFrame:
    """Backtest `strategy` for every parameter set of `grid` over every window.

    strategy  a class or "FILE:CLASS" / "module:CLASS"; each parameter set is passed to
              its constructor as keyword arguments.
    windows   "START:END", "START:END:in|out" or (start, end[, sample]) tuples.
    client    a Dask client to use; otherwise `scheduler` (an address such as
              "tcp://127.0.0.1:8786") or a local cluster of `workers` processes.
    metric    the column ranked on, best first (see quarvel.sweep.METRIC_KEYS).
    rules     the market rules of every run: None or "default", "taiwan", or a
              rules object such as TaiwanRules(broker_discount=0.28).
    Other options: reports, data_dir, ticks_dir, synthetic, api, initial_capital,
    output_dir, on_progress (see `sweep`).

    Returns one row per (parameters, window), best `metric` first, and writes sweep.csv
    and sweep.html (with `reports`, each run's reports too) to `output_dir` (default
    <data_dir>/sweeps/<stamp>-<strategy>-<id>/). A run that fails is a row with `error`.
    """
    return sweep(strategy, codes, grid, windows, **options).table


def sweep(
    strategy,
    codes,
    grid: dict[str, list] | None = None,
    windows=(),
    *,
    client=None,
    workers: int | None = None,
    scheduler: str | None = None,
    metric: str = "net_profit",
    reports: bool = False,
    data_dir: str | None = None,
    ticks_dir: str | None = None,
    synthetic: bool | None = None,
    api=None,
    initial_capital: int | None = None,
    rules=None,
    output_dir: str | None = None,
    on_progress: Callable[[dict, int], None] | None = None,
) -> SweepOutcome:
    """`run_sweep` returning the table with the sweep's folder.

    on_progress(row, total) is called in the driver as each run finishes.
    """
    check_metric(metric)
    rules = make_rules(rules)  # a wrong name fails here, before any cluster starts
    codes = parse_codes(codes) if isinstance(codes, str) else [dict(c) for c in codes]
    ref, strategy_class = resolve_strategy(strategy)
    windows = parse_windows(windows)
    grid = dict(grid or {})
    param_sets = expand_grid(grid)
    param_names = list(grid)
    check_parameters(strategy_class, param_sets)
    data_dir = os.path.abspath(data_dir or BASIC_INFO.data_dir)
    folder = os.path.abspath(output_dir or _sweep_folder(data_dir, ref.name))

    prepared = _prepare(codes, windows, api=api, ticks_dir=ticks_dir, synthetic=synthetic,
                        data_dir=data_dir)
    tasks = [SweepTask(len(param_sets) * w + p, params, window, ref, tuple(codes),
                      initial_capital, reports, rules)
             for w, window in enumerate(windows) for p, params in enumerate(param_sets)]
    rows = []
    with open_client(client, scheduler, workers, len(tasks)) as dask_client:
        from distributed import as_completed

        if ref.path:
            dask_client.upload_file(ref.path)
        shipped = ship_files(dask_client, [p for paths, _ in prepared.values() for p in paths])
        futures, task_of = [], {}
        for task in tasks:
            paths, problems = prepared[(task.window.start, task.window.end)]
            if problems:
                row = base_row(task)
                row["error"] = "data not ready: " + "; ".join(problems)
                rows.append(row)
                if on_progress:
                    on_progress(row, len(tasks))
                continue
            files = {os.path.basename(p): shipped[os.path.basename(p)] for p in paths}
            future = dask_client.submit(run_task, task, files, pure=False,
                                        key=f"quarvel-sweep-{task.index}-{secrets.token_hex(4)}")
            futures.append(future)
            task_of[future.key] = task
        for future in as_completed(futures):
            row = _row_of(future, task_of[future.key])
            rows.append(row)
            if on_progress:
                on_progress(row, len(tasks))
    for row in rows:
        _save_run_files(folder, row)
    _save_tracebacks(folder, rows)
    table = build_table(rows, param_names, metric)
    write_outputs(table, folder, param_names, metric,
                  title=f"Sweep of {ref.name} over {', '.join(c['code'] for c in codes)}"
                  + ("" if rules.name == "default" else f" under {rules.name} rules"))
    return SweepOutcome(table, folder)
