"""The result object a run hands back."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class BacktestResult:
    ticks: int
    orders: int
    deals: int
    realised_profit: float
    initial_capital: float
    final_capital: float
    seconds: float
    trade_records_path: str | None = None
    reports: dict[str, dict[str, str | None]] = field(default_factory=dict)
    cost_rows: list[tuple[str, str]] = field(default_factory=list)  # market rules and costs
    # The run as data (quarvel.backtest.frames): polars frames, `.to_pandas()` a call away.
    trades: Any = None
    round_trips: Any = None
    equity: Any = None
    metrics: dict[str, Any] = field(default_factory=dict)
    trading_days: int = 0
    # Plain-words caveats about the figures (a short run, a benchmark that was not replayed).
    notes: list[str] = field(default_factory=list)
    log_path: str | None = None
    plot_path: str | None = None

    @property
    def final_equity(self) -> float:
        """Cash plus the open positions marked at their last close."""
        if self.equity is not None and self.equity.height:
            return float(self.equity["equity"][-1])
        return float(self.final_capital)
