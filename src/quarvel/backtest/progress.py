"""The progress line of a replay."""

from __future__ import annotations

import time

from quarvel.utils import console


class _NoProgress:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def advance(self):
        pass


class _TickProgress:
    """A rich progress line with ticks per second, on the package console so that
    the modules' own console lines print above it instead of breaking it."""

    def __init__(self):
        from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

        self._progress = Progress(
            SpinnerColumn(),
            TextColumn("[bold]回測中[/bold] {task.completed:,} ticks"),
            TextColumn("{task.fields[rate]:,.0f} ticks/s"),
            TimeElapsedColumn(),
            console=getattr(console, "rich", None),
            transient=False,
        )
        self._task = None
        self._count = 0
        self._started = 0.0

    def __enter__(self):
        self._progress.__enter__()
        self._task = self._progress.add_task("replay", total=None, rate=0.0)
        self._started = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self._refresh()
        return self._progress.__exit__(*exc)

    def advance(self):
        self._count += 1
        if self._count % 1000 == 0:
            self._refresh()

    def _refresh(self):
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._progress.update(self._task, completed=self._count, rate=self._count / elapsed)


def _progress(enabled: bool):
    return _TickProgress() if enabled else _NoProgress()


def make_progress(enabled: bool):
    return _TickProgress() if enabled else _NoProgress()
