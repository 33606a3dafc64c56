"""equity.png: the account's equity over the run and its drawdown, two panes."""

from __future__ import annotations

import io

import polars as pl

# Taiwan market colours: red is up, green is down.
UP, DOWN, INK = "#d23c3c", "#168a4a", "#1f2933"


def equity_png(equity: pl.DataFrame, initial_capital: float) -> bytes:
    """PNG of the equity and drawdown panes of `equity` (a frames.equity_frame).

    Rows are drawn one after another (nights and weekends take no room); the axis names
    the first row of each day.
    """
    import matplotlib.style
    from matplotlib.figure import Figure
    from matplotlib.ticker import StrMethodFormatter

    # The report library restyles matplotlib globally; this plot keeps one look.
    with matplotlib.style.context("default"):
        return _draw(Figure, StrMethodFormatter, equity, initial_capital)


def _draw(Figure, StrMethodFormatter, equity: pl.DataFrame, initial_capital: float) -> bytes:
    figure = Figure(figsize=(11, 5.5), dpi=100)
    top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    x = list(range(equity.height))
    values = equity["equity"].to_list()
    top.axhline(initial_capital, color="#8a96a3", linewidth=0.8, linestyle="--")
    if values:
        top.plot(x, values, color=INK, linewidth=1.0)
        top.fill_between(x, values, initial_capital, where=[v >= initial_capital for v in values],
                         color=UP, alpha=0.25, interpolate=True)
        top.fill_between(x, values, initial_capital, where=[v < initial_capital for v in values],
                         color=DOWN, alpha=0.25, interpolate=True)
        bottom.fill_between(x, equity["drawdown_pct"].to_list(), 0.0, color=DOWN, alpha=0.6)
        _day_ticks(bottom, equity)
    else:
        top.text(0.5, 0.5, "no trading in this run", ha="center", va="center",
                 transform=top.transAxes, color="#6b7785")
    top.set_title("Equity")
    top.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    bottom.set_title("Drawdown (%)")
    for axis in (top, bottom):
        axis.grid(alpha=0.3)
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()


def _day_ticks(axis, equity: pl.DataFrame) -> None:
    days = equity.select(pl.col("dt").dt.date().alias("day")).with_row_index("row")
    firsts = days.group_by("day").agg(pl.col("row").min()).sort("day")
    step = max(1, firsts.height // 12)  # at most about a dozen labels
    firsts = firsts.gather_every(step)
    axis.set_xticks(firsts["row"].to_list())
    axis.set_xticklabels([d.strftime("%m-%d") for d in firsts["day"].to_list()], fontsize=8)
