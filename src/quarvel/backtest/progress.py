"""The progress line of a replay: ticks, ticks per second and the simulated time reached."""

from __future__ import annotations

import datetime as dt
import time
from collections.abc import Callable

from quarvel.utils import console

REFRESH_EVERY = 1000  # ticks between two refreshes: a refresh costs far more than a tick


class _NoProgress:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def advance(self):
        pass


class _TickProgress:
    """A rich progress line on the package console, so that the lines the modules print
    show above it instead of breaking it."""

    def __init__(self, current_tick: Callable[[], dict | None] | None = None):
        from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

        self._progress = Progress(
            SpinnerColumn(),
            TextColumn("[bold]回測中[/bold] {task.completed:,} ticks"),
            TextColumn("{task.fields[rate]:,.0f} ticks/s"),
            TextColumn("[cyan]{task.fields[reached]}[/cyan]"),
            TimeElapsedColumn(),
            console=getattr(console, "rich", None),
            transient=False,
        )
        self._current_tick = current_tick
        self._task = None
        self._count = 0
        self._started = 0.0

    def __enter__(self):
        self._progress.__enter__()
        self._task = self._progress.add_task("replay", total=None, rate=0.0, reached="")
        self._started = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self._refresh()
        return self._progress.__exit__(*exc)

    def advance(self):
        self._count += 1
        if self._count % REFRESH_EVERY == 0:
            self._refresh()

    def _refresh(self):
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._progress.update(self._task, completed=self._count, rate=self._count / elapsed,
                              reached=simulated_time(self._current_tick))


def simulated_time(current_tick: Callable[[], dict | None] | None) -> str:
    """The local date-time of the tick in flight, "YYYY-MM-DD HH:MM:SS" ("" before any)."""
    tick = current_tick() if current_tick is not None else None
    if not tick or "timestamp" not in tick:
        return ""
    return dt.datetime.fromtimestamp(tick["timestamp"]).strftime("%Y-%m-%d %H:%M:%S")


def make_progress(enabled: bool, current_tick: Callable[[], dict | None] | None = None):
    """A progress line (or nothing); `current_tick` gives the tick in flight when asked."""
    return _TickProgress(current_tick) if enabled else _NoProgress()
