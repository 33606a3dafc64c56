"""A Ticker whose per-day step checks every day it loads and records what it could not load.

The combining step looks up `_Ticker__auto_fetch_ticks` on the instance, so this subclass
decides per code-day: days the market did not trade cost nothing; a cached file is read and
checked; a missing day comes from the broker (or the tick folder standing in for it), is
checked, and is cached atomically. Nothing is retried in a loop and nothing fails
silently: every code-day that cannot be delivered lands in the run's `ProblemLog`.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import glob
import os
import threading
import time

import polars as pl

from quarvel.data import problems as kinds
from quarvel.data.calendar import is_trading_day
from quarvel.data.problems import ProblemLog
from quarvel.data.tick_cache import tick_file_name, write_atomically
from quarvel.data.validate import TICK_SCHEMA, check_ticks, read_and_check
from quarvel.modules.ticker import ticker as ticker_module
from quarvel.modules.ticker.ticker import Ticker

NOT_LOGGED_IN = "永豐 API 尚未初始化, 請先登入永豐 API"
DOWNLOAD_ATTEMPTS = 3
STALE_TEMP_SECONDS = 3600
_EMPTY = pl.DataFrame(schema={**TICK_SCHEMA, "code": pl.String})


def _say(text: str) -> None:
    ticker_module.console.print(text)


def sweep_stale_temps(folder: str, older_than: float = STALE_TEMP_SECONDS) -> list[str]:
    """Removes temporary files of interrupted writes; returns the removed paths."""
    removed = []
    limit = time.time() - older_than
    # Temporary files are hidden (".name.tmp"), which "*" passes over without include_hidden.
    for path in glob.glob(os.path.join(glob.escape(folder), "*.tmp"), include_hidden=True):
        try:
            if os.lstat(path).st_mtime < limit:
                os.remove(path)
                removed.append(path)
        except OSError:
            pass  # another process took it, or it is not ours to remove
    return removed


class CheckedTicker(Ticker):
    """Ticker for one run. `api` None: the cache is the only source (a miss is a problem).

    cache_dir  folder of the day files (shared by runs).
    log        where problems, warnings and delivered code-days are recorded.
    """

    def __init__(self, api, *, cache_dir: str, log: ProblemLog) -> None:
        super().__init__(api)
        self.cache_dir = cache_dir
        self.log = log
        self._not_logged_in = False
        self._swept = False
        self._threads: set[threading.Thread] = set()

    # The playback and backfilling threads run these bodies: knowing them lets a run that
    # ends early wait until they have let go of their tables before it returns.
    def _Ticker__push_tick_to_queue(self, df) -> None:
        with self._tracked():
            Ticker._Ticker__push_tick_to_queue(self, df)

    def backfilling(self, codes, start_from=None, end_to=None) -> None:
        with self._tracked():
            Ticker.backfilling(self, codes, start_from, end_to)

    @contextlib.contextmanager
    def _tracked(self):
        thread = threading.current_thread()
        self._threads.add(thread)
        try:
            yield
        finally:
            self._threads.discard(thread)

    def join_threads(self, timeout: float = 5.0) -> bool:
        """Waits for this ticker's playback and backfilling threads; False if one remains."""
        deadline = time.monotonic() + timeout
        for thread in list(self._threads):
            if thread is not threading.current_thread():
                thread.join(max(deadline - time.monotonic(), 0.0))
        return not any(t.is_alive() for t in self._threads)

    def _Ticker__auto_fetch_ticks(self, code: str, product_type: str, date: str) -> pl.DataFrame:
        day = dt.datetime.strptime(date, "%Y-%m-%d").date()
        if not is_trading_day(day):
            return _EMPTY
        frame, path = self.load_day(code, product_type, day)
        if frame is None:
            return _EMPTY
        self.log.deliver(code, date, frame.height, path)
        return frame.with_columns(pl.lit(code, dtype=pl.String).alias("code"))

    def load_day(self, code: str, market: str,
                 day: dt.date) -> tuple[pl.DataFrame | None, str | None]:
        """The checked ticks of one trading day and the cache file holding them (None when
        the day is not cached); (None, None) after recording a problem."""
        date = day.isoformat()
        if not self._swept:
            self._swept = True
            try:
                os.makedirs(self.cache_dir, exist_ok=True)
            except OSError as error:  # days are then replayed from memory only
                self.log.warn(f"the tick cache folder {self.cache_dir} is unusable: {error}")
            for path in sweep_stale_temps(self.cache_dir):
                self.log.warn(f"removed a temporary file left by an interrupted write: {path}")
        path = os.path.join(self.cache_dir, tick_file_name(code, date))
        if os.path.lexists(path):
            _say(f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]")
            frame, fault = read_and_check(path, day, market)
            if fault is None:
                return frame, path
            self._problem(code, date, kinds.INVALID, f"{fault}; {self._set_aside(path)}")
            return None, None
        frame = self._download(code, market, day)
        if frame is None:
            return None, None
        if day >= dt.date.today():  # still trading: never cached
            return frame, None
        try:
            write_atomically(frame, path)
        except OSError as error:
            self.log.warn(f"{code} {date}: the tick cache file {path} could not be written "
                          f"({error}); the day was replayed from memory")
            return frame, None
        _say(f"[green]下載 {code} {date} 的 Tick 資料成功, 儲存於 {path}[/green]")
        return frame, path

    def _problem(self, code: str, date: str, kind: str, reason: str) -> None:
        self.log.problem(code, date, kind, reason)
        _say(f"[red]{code} {date}: {kind}: {reason}[/red]")

    def _set_aside(self, path: str) -> str:
        try:
            os.replace(path, path + ".invalid")
        except OSError as error:
            return f"could not be moved aside ({error})"
        return f"moved aside to {path}.invalid; the next run downloads the day again"

    def _download(self, code: str, market: str, day: dt.date) -> pl.DataFrame | None:
        date = day.isoformat()
        api = self.api
        if api is None:
            self._problem(code, date, kinds.MISSING,
                          f"not in the tick cache {self.cache_dir} (no broker or tick folder "
                          "was given for this run)")
            return None
        if self._not_logged_in or not api:
            self._not_logged_in = True
            self._problem(code, date, kinds.NOT_LOGGED_IN, NOT_LOGGED_IN)
            return None
        try:
            contract = self._Ticker__make_sino_contract_object(code, market)
        except KeyError:
            self._problem(code, date, kinds.UNKNOWN_CODE,
                          f"the broker has no {market} contract {code!r}")
            return None
        except Exception as error:
            if str(error) != NOT_LOGGED_IN:
                self._problem(code, date, kinds.DOWNLOAD, f"contract lookup failed: "
                              f"{type(error).__name__}: {error}")
                return None
            self._not_logged_in = True
            self._problem(code, date, kinds.NOT_LOGGED_IN, NOT_LOGGED_IN)
            return None
        for attempt in range(DOWNLOAD_ATTEMPTS):
            try:
                data = api.ticks(contract=contract, date=date)
                break
            except FileNotFoundError as error:  # a tick folder without that day
                self._problem(code, date, kinds.MISSING, str(error))
                return None
            except Exception as error:
                failure = error
        else:
            self._problem(code, date, kinds.DOWNLOAD,
                          f"{DOWNLOAD_ATTEMPTS} attempts failed: "
                          f"{type(failure).__name__}: {failure}")
            return None
        try:
            frame = pl.DataFrame(dict(data))
            if frame.columns == list(TICK_SCHEMA) and frame.height:
                frame = frame.cast(TICK_SCHEMA, strict=True)
        except Exception as error:
            self._problem(code, date, kinds.INVALID, f"broker data unusable: {error}")
            return None
        fault = check_ticks(frame, day, market)
        if fault is not None:
            self._problem(code, date, kinds.INVALID, f"broker data: {fault}")
            return None
        return frame
