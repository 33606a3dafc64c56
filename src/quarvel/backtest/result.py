"""The result object a run hands back."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from quarvel.data.problems import Problem


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

    # Every expected code-day that was not replayed in full, and every output not written.
    problems: list[Problem] = field(default_factory=list)
    # Things the user should know that did not cost any data (a cache file not written).
    warnings: list[str] = field(default_factory=list)
    # The run's own folder of trade records and reports (None without reports).
    output_dir: str | None = None
    # Where the ticks came from: "broker", "tick folder ...", "synthetic market", "tick cache".
    source: str = ""

    @property
    def final_equity(self) -> float:
        """Cash plus the open positions marked at their last close."""
        if self.equity is not None and self.equity.height:
            return float(self.equity["equity"][-1])
        return float(self.final_capital)

    @property
    def complete(self) -> bool:
        """Every expected code-day replayed in full, outputs written, and ticks replayed."""
        return not self.problems and self.ticks > 0


class BacktestIncomplete(RuntimeError):
    """A run that missed data or outputs; `result` holds what it did and its problems."""

    def __init__(self, result: BacktestResult) -> None:
        count = len(result.problems)
        super().__init__(f"backtest incomplete: {count} problem(s), {result.ticks:,} ticks "
                         "replayed" + "".join(f"\n  {p}" for p in result.problems))
        self.result = result
