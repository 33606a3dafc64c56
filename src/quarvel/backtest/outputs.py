"""After the reports are written: the equity plot, and reports that say what they can't show.

The modules write the reports as they always have; this step adds, in the run's own files:
- equity.png beside the other outputs, and the same curve inside each standard report;
- the standard report's link to the advanced report only when that file exists;
- a plain-words note at the top of the advanced report naming its benchmark and saying when
  its annualised figures or its benchmark line mean nothing (a short run, no benchmark ticks).
"""

from __future__ import annotations

import base64
import contextlib
import html
import os
import re
import tempfile

from quarvel.backtest.metrics import MIN_DAYS_FOR_RATIOS, ratio_text
from quarvel.backtest.plots import equity_png

BENCHMARK = "0050"
PLOT_NAME = "equity.png"
_QS_LINK = re.compile(r"<!--qs-link-->.*?<!--/qs-link-->", re.S)
_BODY = re.compile(r"<body[^>]*>", re.I)


def write_atomically(path: str, data: bytes) -> None:
    """Write `path` whole: a temporary file in the same folder, then a rename."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def report_notes(trading_days: int, benchmark_replayed: bool) -> list[str]:
    """What a reader of the advanced report must know before reading its figures."""
    notes = []
    if trading_days < MIN_DAYS_FOR_RATIOS:
        notes.append(
            f"This run has {trading_days} trading day(s), fewer than {MIN_DAYS_FOR_RATIOS}: "
            "annualised figures (CAGR, Sharpe, Sortino, volatility) of the advanced report "
            "are extrapolated from too few days and mean nothing.")
    if not benchmark_replayed:
        notes.append(
            f"The benchmark {BENCHMARK} was not replayed in this run: its line in the advanced "
            f"report is flat at 0% and every comparison with it is empty. Add {BENCHMARK}:Stock "
            "to the codes for a real benchmark.")
    return notes


def finish_outputs(result, quote_manager, folder: str) -> None:
    """Write equity.png in `folder` and finish the run's report files in place.

    A file that cannot be written (a full disk) leaves the run's results as they are and
    says so in `result.notes`; a report that cannot be finished keeps the module's version.
    """
    png = equity_png(result.equity, float(result.initial_capital))
    path = os.path.join(folder, PLOT_NAME)
    if _written(result, path, lambda: write_atomically(path, png)):
        result.plot_path = path
    benchmark_replayed = BENCHMARK in quote_manager.ticks
    notes = report_notes(result.trading_days, benchmark_replayed)
    wrote_advanced = False
    for paths in result.reports.values():
        advanced = paths.get("advanced")
        if advanced and os.path.exists(advanced):
            wrote_advanced = True
            _written(result, advanced, lambda: _annotate_advanced(
                advanced, notes, benchmark_replayed, result.metrics))
        else:
            advanced = None
        standard = paths.get("standard")
        if standard and os.path.exists(standard):
            _written(result, standard, lambda: _finish_standard(standard, advanced, png))
    if wrote_advanced:
        result.notes.extend(notes)


def _written(result, path: str, write) -> bool:
    try:
        write()
    except OSError as error:
        result.notes.append(f"{path} could not be written: {error.strerror or error}")
        return False
    return True


def _own_figures(m: dict) -> str:
    """The whole run's figures as quarvel.backtest.metrics defines them."""
    if not m:
        return ""
    return (f"Whole account, marked to market: net profit {m['net_profit']:,.2f}, return "
            f"{m['return_pct']:.2f}%, max drawdown {m['max_drawdown']:,.2f} "
            f"({m['max_drawdown_pct']:.2f}%), Sharpe {ratio_text(m['sharpe'])}.")


def _annotate_advanced(path: str, notes: list[str], benchmark_replayed: bool,
                       figures: dict) -> None:
    state = "replayed in this run" if benchmark_replayed else "NOT replayed in this run"
    items = "".join(f"<li>{html.escape(note)}</li>" for note in notes)
    banner = (
        '<div id="quarvel-notes" style="background:#fff4d6;border:1px solid #e0b84c;'
        'border-radius:6px;padding:10px 16px;margin:12px;font:14px/1.5 sans-serif;'
        'color:#1f2933">'
        f'<p style="margin:0"><strong>Benchmark: {BENCHMARK}</strong> '
        f"(daily closes, {state}).</p>"
        f'<p style="margin:6px 0 0">{html.escape(_own_figures(figures))}</p>'
        + (f'<p style="margin:6px 0 0"><strong>Read this first:</strong></p>'
           f'<ul style="margin:4px 0 0">{items}</ul>' if notes else "")
        + "</div>")
    _rewrite(path, lambda page: _BODY.sub(lambda m: m.group(0) + banner, page, count=1))


def _finish_standard(path: str, advanced: str | None, png: bytes) -> None:
    image = base64.b64encode(png).decode("ascii")
    panel = ('<section class="panel equity-curve"><h2>帳戶權益與回撤 <span class="hint">'
             '整個回測帳戶（所有商品），紅為高於初始資金、綠為低於</span></h2>'
             f'<img alt="權益曲線與回撤" src="data:image/png;base64,{image}"></section>')

    def finish(page: str) -> str:
        page = page.replace("<!--equity-curve-->", panel, 1)
        if advanced is None:
            page = _QS_LINK.sub('<span class="muted">沒有進階績效報告</span>', page)
        return page

    _rewrite(path, finish)


def _rewrite(path: str, change) -> None:
    with open(path, encoding="utf-8") as page:
        text = page.read()
    write_atomically(path, change(text).encode("utf-8"))
