"""Parameter grids and date windows as the command line and `run_sweep` take them."""

from __future__ import annotations

import datetime as dt
import itertools
from dataclasses import dataclass

SAMPLES = ("in", "out")


@dataclass(frozen=True)
class Window:
    """One date range of a sweep; `sample` is "in", "out" or None (not marked)."""

    start: str
    end: str
    sample: str | None = None

    @property
    def label(self) -> str:
        return f"{self.start}:{self.end}"


def _parse_value(text: str):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_grid_option(text: str) -> tuple[str, list]:
    """"fast=5,10,20" -> ("fast", [5, 10, 20]); numbers become int or float."""
    name, sep, values = text.partition("=")
    name = name.strip()
    if not sep or not name.isidentifier():
        raise ValueError(f"--grid expects NAME=V1,V2,..., got {text!r}")
    parsed = [_parse_value(v.strip()) for v in values.split(",") if v.strip()]
    if not parsed:
        raise ValueError(f"--grid {name} has no values")
    return name, parsed


def _check_date(text: str) -> str:
    try:
        return dt.date.fromisoformat(text).isoformat()
    except ValueError:
        raise ValueError(f"bad date {text!r}: use YYYY-MM-DD") from None


def parse_window(value) -> Window:
    """"START:END[:in|:out]", a (start, end[, sample]) tuple or a Window."""
    if isinstance(value, Window):
        parts = [value.start, value.end] + ([value.sample] if value.sample else [])
    elif isinstance(value, str):
        parts = value.split(":")
    else:
        parts = list(value)
    if len(parts) not in (2, 3):
        raise ValueError(f"a window is START:END or START:END:in|out, got {value!r}")
    start, end = _check_date(str(parts[0])), _check_date(str(parts[1]))
    sample = parts[2] if len(parts) == 3 else None
    if sample is not None and sample not in SAMPLES:
        raise ValueError(f"window sample must be 'in' or 'out', got {sample!r}")
    if start > end:
        raise ValueError(f"window {start}:{end} starts after it ends")
    return Window(start, end, sample)


def parse_windows(values) -> list[Window]:
    windows = [parse_window(v) for v in values]
    if not windows:
        raise ValueError("no windows given")
    if len(set(windows)) != len(windows):
        raise ValueError("a window is given twice")
    marked = {w.sample is not None for w in windows}
    if len(marked) > 1:
        raise ValueError("mark every window in/out, or none")
    return windows


def expand_grid(grid: dict[str, list]) -> list[dict]:
    """Every combination, the first parameter varying slowest; {} gives one empty set."""
    for name, values in grid.items():
        if not isinstance(values, (list, tuple)) or not values:
            raise ValueError(f"grid parameter {name!r} needs a non-empty list of values")
    names = list(grid)
    return [dict(zip(names, combo)) for combo in itertools.product(*grid.values())]
