"""The single-run driver as the sweep uses it: prepare the cache once, run one backtest."""

from __future__ import annotations

import contextlib

from quarvel.backtest import runs
from quarvel.backtest.loop import run_backtest
from quarvel.backtest.market_time import MARKET_TIMEZONE
from quarvel.backtest.metrics import METRIC_KEYS
from quarvel.constant import BASIC_INFO

__all__ = ["METRIC_KEYS", "metrics_of", "prepare_code_days", "run_one", "ticks_folder"]


def ticks_folder(data_dir: str) -> str:
    """The real-data tick cache under `data_dir`: where workers keep the shipped files."""
    return runs.cache_dir(False, data_dir)


def prepare_code_days(codes, start, end, *, api=None, ticks_dir=None,
                      synthetic=None) -> tuple[list[str], list[str]]:
    """Download or check every code-day of the range into the driver's cache, once.

    Returns (paths of the cache files, problems as text).
    """
    paths, problems = runs.prepare_code_days(codes, start, end, api=api, ticks_dir=ticks_dir,
                                             synthetic=synthetic)
    return [str(p) for p in paths], [str(p) for p in problems]


@contextlib.contextmanager
def _data_dir(folder: str):
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = folder
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


def run_one(strategy, codes, start, end, *, data_dir: str, initial_capital=None,
            write_reports: bool = False, tz: str | None = MARKET_TIMEZONE, rules=None):
    """One strict backtest from the tick cache under `data_dir` alone.

    A missing or bad code-day is a problem of the run (BacktestIncomplete), never a
    download. `rules`: the market rules of the run (see quarvel.rules; None is the default).
    Returns (result, its run folder or None when nothing was written).
    """
    with _data_dir(data_dir):
        result = run_backtest(strategy, codes, start, end, api=None, synthetic=False,
                              initial_capital=initial_capital, write_reports=write_reports,
                              progress=False, strict=True, tz=tz, verbose=False, rules=rules)
    return result, result.output_dir


def metrics_of(result) -> dict:
    return {key: result.metrics.get(key) for key in METRIC_KEYS}
