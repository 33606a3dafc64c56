"""The single-run driver as the sweep uses it.

The sweep needs two things of the driver that it may not offer yet: prepare every
code-day of a range into the tick cache once, and run one backtest in its own run folder
in the market's time zone. Where the driver has them (`quarvel.backtest.runs`,
`run_backtest(strict=..., tz=...)`) they are used; otherwise this module does the same by
hand with what the installed driver has.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import importlib
import inspect
import os
import secrets
import time

from quarvel.backtest import loop as _loop
from quarvel.backtest.console_routing import MODULES as _NATIVE_MODULES
from quarvel.backtest.market_time import MARKET_TIMEZONE
from quarvel.backtest.metrics import METRIC_KEYS
from quarvel.constant import BASIC_INFO

TICKS_SUBFOLDER = ("sino", "ticks")


def ticks_folder(data_dir: str) -> str:
    return os.path.join(data_dir, *TICKS_SUBFOLDER)


def _accepts(name: str) -> bool:
    return name in inspect.signature(_loop.run_backtest).parameters


def prepare_code_days(codes, start, end, *, api=None, ticks_dir=None, synthetic=None):
    """Download or validate every code-day of the range into the cache once.

    Returns (paths of the cache files, problems as text). Run in the driver only.
    """
    try:
        from quarvel.backtest.runs import prepare_code_days as prepare
    except ImportError:
        return _prepare_by_hand(codes, start, end, api=api, ticks_dir=ticks_dir)
    paths, problems = prepare(codes, start, end, api=api, ticks_dir=ticks_dir,
                              synthetic=synthetic)
    return [str(p) for p in paths], [str(p) for p in problems]


def _prepare_by_hand(codes, start, end, *, api, ticks_dir):
    from quarvel.modules.ticker.ticker import Ticker
    from quarvel.offline_api import OfflineAPI

    if ticks_dir is not None and not os.path.isdir(ticks_dir):
        raise ValueError(f"ticks folder {ticks_dir!r} does not exist")
    ticker = Ticker(api if api is not None else OfflineAPI(tick_dir=ticks_dir))
    fetch = getattr(ticker, "_Ticker__auto_fetch_ticks")
    folder = ticks_folder(BASIC_INFO.data_dir)
    paths, problems = [], []
    day, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    with quiet_modules():
        while day <= last:
            date = day.isoformat()
            for entry in codes:
                try:
                    fetch(entry["code"], entry["market"], date)
                except Exception as error:
                    problems.append(f"{entry['code']} {date}: {type(error).__name__}: {error}")
                    continue
                path = os.path.join(folder, f"{entry['code']} {date} - ticks.csv")
                if os.path.exists(path):
                    paths.append(path)
            day += dt.timedelta(days=1)
    return paths, problems


class _Silent:
    def print(self, *args, **kwargs):
        pass


@contextlib.contextmanager
def quiet_modules():
    """The native modules' per-order and per-deal lines go nowhere meanwhile."""
    modules = [importlib.import_module(name) for name in _NATIVE_MODULES]
    saved = [getattr(m, "console", None) for m in modules]
    for module in modules:
        module.console = _Silent()
    try:
        yield
    finally:
        for module, console in zip(modules, saved):
            module.console = console


@contextlib.contextmanager
def market_zone(tz: str | None):
    if tz is None:
        yield
        return
    from quarvel.backtest.market_time import use_timezone

    saved = os.environ.get("TZ")
    use_timezone(tz)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved
        time.tzset()


def _own_run_folder(data_dir: str, strategy_name: str) -> str:
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = os.path.join(data_dir, "runs", f"{stamp}-{strategy_name}-{secrets.token_hex(3)}")
    os.makedirs(os.path.join(folder, "sino"))
    # The run's outputs land in its folder while the tick cache stays shared.
    os.symlink(ticks_folder(data_dir), ticks_folder(folder))
    return folder


@contextlib.contextmanager
def _data_dir(folder: str):
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = folder
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


def run_one(strategy, codes, start, end, *, api, data_dir: str, initial_capital=None,
            write_reports: bool = False, tz: str | None = MARKET_TIMEZONE):
    """One backtest from the cache under `data_dir`, in its own run folder.

    Returns (result, run folder). Problems with the data raise (strict run).
    """
    kwargs = dict(api=api, initial_capital=initial_capital, write_reports=write_reports,
                  progress=False, verbose=False)
    if _accepts("strict"):
        # The driver replays the cache alone (a missing day is a problem, never a download),
        # makes the run folder and applies the zone itself.
        kwargs.update(api=None, synthetic=False, strict=True, tz=tz)
        with _data_dir(data_dir):
            result = _loop.run_backtest(strategy, codes, start, end, **kwargs)
        return result, getattr(result, "output_dir", None)
    folder = _own_run_folder(data_dir, type(strategy).__name__)
    with _data_dir(folder), market_zone(tz):
        result = _loop.run_backtest(strategy, codes, start, end, **kwargs)
    return result, folder


def metrics_of(result) -> dict:
    return {key: result.metrics.get(key) for key in METRIC_KEYS}
