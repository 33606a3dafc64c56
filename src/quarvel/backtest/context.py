"""What a strategy sees during a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class BacktestContext:
    """What a strategy sees: the four objects of the run and a few counters."""

    matcher: Any
    positions: Any
    quote_manager: Any
    ticker: Any
    tick: dict | None = None
    backfilling_done: bool = False
    ticks: int = 0
    orders: int = 0
    deals: int = 0
    state: dict = field(default_factory=dict)
