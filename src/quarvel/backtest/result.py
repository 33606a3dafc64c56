"""The result object a run hands back."""

from __future__ import annotations

from dataclasses import dataclass, field


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
