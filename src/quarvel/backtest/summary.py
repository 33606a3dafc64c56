"""The terminal summary printed after a run."""

from __future__ import annotations

from quarvel.backtest.result import BacktestResult
from quarvel.utils import console


def print_summary(result: BacktestResult) -> None:
    from rich.table import Table

    table = Table(title="回測摘要", show_header=False)
    table.add_column("item", style="bold")
    table.add_column("value")
    rate = result.ticks / result.seconds if result.seconds else 0.0
    table.add_row("ticks replayed", f"{result.ticks:,} ({rate:,.0f} ticks/s)")
    table.add_row("orders", str(result.orders))
    table.add_row("deals", str(result.deals))
    table.add_row("realised profit", f"{result.realised_profit:,.2f}")
    table.add_row("initial capital", f"{result.initial_capital:,.2f}")
    table.add_row("final capital", f"{result.final_capital:,.2f}")
    for label, value in result.cost_rows:
        table.add_row(label, value)
    table.add_row("trade records", str(result.trade_records_path))
    for code, paths in result.reports.items():
        for kind, path in paths.items():
            table.add_row(f"{code} {kind}", str(path))
    rich_console = getattr(console, "rich", None)
    if rich_console is not None:
        rich_console.print(table)
    else:
        console.print(table)
