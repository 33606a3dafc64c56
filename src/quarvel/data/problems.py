"""What a run could not replay, code-day by code-day, and what it only warns about."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

# Kinds of code-day problems.
MISSING = "missing"              # no file in the cache or the tick folder
DOWNLOAD = "download"            # the broker failed for the day
INVALID = "invalid"              # the day's data broke a rule (see quarvel.data.validate)
NOT_LOGGED_IN = "not logged in"  # the broker session cannot be used
UNKNOWN_CODE = "unknown code"    # the broker has no such contract in that market
NOT_REPLAYED = "not replayed"    # expected, delivered nowhere, reason unknown
NO_TRADING_DAY = "no trading day"
PLAYBACK = "playback"            # fewer ticks replayed than loaded
OUTPUT = "output"                # a trade record or report file could not be written


@dataclass(frozen=True)
class Problem:
    code: str
    day: str
    kind: str
    reason: str

    def __str__(self) -> str:
        where = " ".join(part for part in (self.code, self.day) if part)
        return f"{where}: {self.kind}: {self.reason}" if where else f"{self.kind}: {self.reason}"


@dataclass
class ProblemLog:
    """Shared by the threads of one run (the caller's and the backfilling thread)."""

    problems: list[Problem] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)
    # (code, "YYYY-MM-DD") -> rows handed to the combining step.
    delivered: dict[tuple[str, str], int] = field(default_factory=dict)
    files: dict[tuple[str, str], str] = field(default_factory=dict)
    rows: int = 0  # every row handed on, main range and backfilling together
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def problem(self, code: str, day: str, kind: str, reason: str) -> Problem:
        item = Problem(code, day, kind, reason)
        with self._lock:
            self.problems.append(item)
        return item

    def warn(self, text: str) -> None:
        with self._lock:
            self.warnings.append(text)

    def deliver(self, code: str, day: str, rows: int, path: str | None) -> None:
        with self._lock:
            self.delivered[(code, day)] = rows
            self.rows += rows
            if path is not None:
                self.files[(code, day)] = path

    def has_problem(self, code: str, day: str) -> bool:
        with self._lock:
            return any(p.code == code and p.day == day for p in self.problems)
