"""Where the native modules' console lines go during a run.

Every line goes to `run.log` in the run's folder (markup stripped). On screen: only
warnings and errors (red lines) unless the run is verbose, so a demo prints a summary
instead of thousands of per-order and per-deal lines.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import logging
import os
import re
import threading
from collections.abc import Iterator

MODULES = ("quarvel.modules.positions.positions", "quarvel.modules.matcher.matcher",
           "quarvel.modules.ticker.ticker")
LOG_NAME = "run.log"
# Colour tags of the modules' lines; dict reprs inside the lines never look like these.
_TAG = re.compile(r"\[/?(?:bold )?[a-z][a-z0-9]*\]")


# Red lines that report routine work, not a fault: a day not yet in the cache is fetched.
_ROUTINE = ("不存在, 開始下載歷史 Tick 資料",)


def is_warning(text: str) -> bool:
    """A line a person must see whatever the verbosity: the modules mark them red."""
    return ("[red]" in text or "[bold red]" in text) and not any(r in text for r in _ROUTINE)


class _Log:
    """The run's log file, shared by the three modules' consoles (and their threads)."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self._lock = threading.Lock()
        self._file = None
        if path is not None:
            try:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                self._file = open(path + ".tmp", "w", encoding="utf-8", buffering=1 << 16)
            except OSError:
                self.path = None

    def write(self, line: str) -> None:
        with self._lock:
            if self._file is None:
                return
            try:
                self._file.write(line + "\n")
            except (OSError, ValueError):  # a full disk must not stop the run
                self._drop()

    def close(self) -> None:
        """Put the finished log in place (also after a failed run: it says what happened)."""
        with self._lock:
            if self._file is None:
                return
            try:
                self._file.close()
                os.replace(self.path + ".tmp", self.path)
            except OSError:
                self._drop()
            self._file = None

    def _drop(self) -> None:
        with contextlib.suppress(OSError, ValueError):
            self._file.close()
        with contextlib.suppress(OSError):
            os.remove(self.path + ".tmp")
        self._file, self.path = None, None


class RoutedConsole:
    """Stands in for a module's `console`: writes every line to the log, shows some."""

    def __init__(self, shown, log: _Log, verbose: bool) -> None:
        self._shown = shown
        self._log = log
        self._verbose = verbose

    def print(self, text="", *args, **kwargs) -> None:
        if not isinstance(text, str):  # tables and other renderables are meant for the screen
            self._shown.print(text, *args, **kwargs)
            return
        self._log.write(_TAG.sub("", text))
        if self._verbose or is_warning(text):
            self._shown.print(text, *args, **kwargs)


@contextlib.contextmanager
def routed_consoles(folder: str | None, verbose: bool = False) -> Iterator[str | None]:
    """Route the modules' consoles for the duration of a run; yields the log's path
    (None without a folder: a run that writes no files keeps no log either).

    The consoles in place when the run starts (a test's recorder included) are the ones
    shown lines go to, and they are put back afterwards.
    """
    log = _Log(os.path.join(folder, LOG_NAME) if folder else None)
    modules = [importlib.import_module(name) for name in MODULES]
    previous = [getattr(module, "console", None) for module in modules]
    # The report library asks for fonts this machine may not have; the fallback is fine.
    fonts = logging.getLogger("matplotlib.font_manager")
    font_level = fonts.level
    if not verbose:
        fonts.setLevel(logging.ERROR)
    try:
        for module, shown in zip(modules, previous):
            if shown is not None:
                module.console = RoutedConsole(shown, log, verbose)
        yield log.path
    finally:
        for module, shown in zip(modules, previous):
            if shown is not None:
                module.console = shown
        log.close()
        fonts.setLevel(font_level)


@contextlib.contextmanager
def library_output_to_log(module_name: str = MODULES[0]) -> Iterator[None]:
    """Send what a library prints to stdout (the report library's "saved to" lines) through
    a module's console instead, so it lands in run.log like the module's own lines."""
    captured = io.StringIO()
    try:
        with contextlib.redirect_stdout(captured):
            yield
    finally:
        module_console = importlib.import_module(module_name).console
        for line in captured.getvalue().splitlines():
            if line.strip():
                module_console.print(line, markup=False)
