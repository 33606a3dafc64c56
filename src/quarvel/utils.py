"""Console, logger and small helpers shared by the native modules."""

from __future__ import annotations

import datetime as _dt
import logging
import os
import threading

from rich.console import Console as _RichConsole
from rich.markup import MarkupError


class SafeConsole:
    """A rich console whose `print` renders colour tags and never raises.

    Messages may hold a dict's text with square brackets; markup that rich
    cannot parse is printed as plain text instead of failing.
    """

    def __init__(self, **kwargs) -> None:
        self._console = _RichConsole(**kwargs)
        self._lock = threading.Lock()

    @property
    def rich(self) -> _RichConsole:
        return self._console

    def print(self, text="", *args, **kwargs) -> None:
        with self._lock:
            try:
                self._console.print(text, *args, **kwargs)
            except MarkupError:
                self._print_plain(text)
            except Exception:  # a console must never break the caller
                self._print_plain(text)

    def _print_plain(self, text) -> None:
        try:
            self._console.print(str(text), markup=False, highlight=False)
        except Exception:
            pass


console = SafeConsole()
logger = logging.getLogger("quarvel")


def make_dir(path: str) -> None:
    """Create `path` and its missing parents; an existing directory is fine."""
    os.makedirs(path, exist_ok=True)


_DT_FORMATS = ("%Y-%m-%d", "%Y-%m-%d %H:%M:%S")


def format_to_dt(text: str) -> _dt.datetime:
    """Parse "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" into a naive datetime."""
    for fmt in _DT_FORMATS:
        try:
            return _dt.datetime.strptime(text, fmt)
        except (ValueError, TypeError):
            continue
    raise ValueError(
        f"無法解析的日期格式: {text!r} (支援 YYYY-MM-DD 或 YYYY-MM-DD HH:MM:SS)"
    )


def format_nano_ts_to_second_ts(ts: int, hours: int = 8) -> float:
    """Broker tick time to epoch seconds.

    The broker's `ts` counts nanoseconds of the Taiwan wall-clock time read as
    if it were UTC; subtracting the offset gives the real instant.
    """
    return ts / 1e9 - hours * 3600
