"""The terminal summary printed after a run: the figures first, then where the files are."""

from __future__ import annotations

from quarvel.backtest.metrics import ratio_text
from quarvel.backtest.result import BacktestResult
from quarvel.utils import console


def _money(value) -> str:
    return "n/a" if value is None else f"{value:,.2f}"


def metric_rows(result: BacktestResult) -> list[tuple[str, str]]:
    """(label, text) of the figures a trader reads first."""
    m = result.metrics
    if not m:
        return []
    win = "n/a" if m["win_rate"] is None else f"{m['win_rate']:.1%}"
    factor = "n/a" if m["profit_factor"] is None else f"{m['profit_factor']:.2f}"
    costs = m["fees"] + m["taxes"] + m["slippage_cost"]
    return [
        ("net profit", f"{m['net_profit']:,.2f}"),
        ("return", f"{m['return_pct']:.2f}%"),
        ("max drawdown", f"{m['max_drawdown']:,.2f} ({m['max_drawdown_pct']:.2f}%)"),
        ("sharpe", ratio_text(m["sharpe"])),
        ("win rate", win),
        ("profit factor", factor),
        ("round trips", f"{m['round_trips']:,}"),
        ("fees + taxes + slippage", f"{m['fees']:,.2f} + {m['taxes']:,.2f} + "
                                    f"{m['slippage_cost']:,.2f} = {costs:,.2f}"),
    ]


def print_summary(result: BacktestResult) -> None:
    from rich.table import Table

    table = Table(title="回測摘要", show_header=False)
    table.add_column("item", style="bold", no_wrap=True)
    table.add_column("value", overflow="fold")  # long paths wrap instead of being cut
    rate = result.ticks / result.seconds if result.seconds else 0.0
    for label, text in metric_rows(result):
        table.add_row(label, text)
    if result.metrics:
        table.add_section()
    table.add_row("ticks replayed", f"{result.ticks:,} ({rate:,.0f} ticks/s)")
    table.add_row("orders / deals", f"{result.orders:,} / {result.deals:,}")
    table.add_row("realised profit", _money(result.realised_profit))
    table.add_row("initial capital", _money(result.initial_capital))
    table.add_row("final capital (cash)", _money(result.final_capital))
    table.add_row("final equity", _money(result.final_equity))
    table.add_section()
    for label, value in result.cost_rows:
        table.add_row(label, value)
    if result.cost_rows:
        table.add_section()
    table.add_row("trade records", str(result.trade_records_path))
    for code, paths in result.reports.items():
        for kind, path in paths.items():
            table.add_row(f"{code} {kind}", str(path))
    for label, path in (("equity plot", result.plot_path), ("console log", result.log_path)):
        if path:
            table.add_row(label, path)
    rich_console = getattr(console, "rich", None)
    (rich_console or console).print(table)
    for note in result.notes:
        console.print(f"[yellow]note: {note}[/yellow]")
