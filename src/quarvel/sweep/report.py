"""The sweep's own outputs: sweep.csv and a self-contained sweep.html."""

from __future__ import annotations

import html
import math
import os

import polars as pl

from quarvel.backtest.outputs import write_atomically
from quarvel.sweep.table import LOWER_IS_BETTER, SMALLER_MAGNITUDE_IS_BETTER, by_parameter_set

CELL_W, CELL_H, LABEL_W, LABEL_H = 110, 44, 120, 40

_STYLE = """
body{font-family:system-ui,sans-serif;margin:24px;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:2em}
table{border-collapse:collapse;font-size:13px}
th,td{border:1px solid #ddd;padding:3px 6px;text-align:right;white-space:nowrap}
th{background:#f3f3f3;cursor:pointer;position:sticky;top:0}
td.text{text-align:left}
td.long{white-space:normal;min-width:24em}
.heatmaps{display:flex;flex-wrap:wrap;gap:24px}
.note{color:#555;font-size:13px}
"""

# Click a header to sort by it; click again to reverse. Numbers sort as numbers, blanks last.
_SORT_JS = """
document.querySelectorAll('table.sortable').forEach(function(table){
  table.querySelectorAll('th').forEach(function(th, col){
    th.addEventListener('click', function(){
      var body = table.tBodies[0], rows = Array.from(body.rows);
      var dir = th.dataset.dir === 'asc' ? -1 : 1; th.dataset.dir = dir === 1 ? 'asc' : 'desc';
      rows.sort(function(a, b){
        var x = a.cells[col].dataset.v, y = b.cells[col].dataset.v;
        if (x === '' || y === '') return (x === '') - (y === '');
        var nx = Number(x), ny = Number(y);
        if (!isNaN(nx) && !isNaN(ny)) return dir * (nx - ny);
        return dir * x.localeCompare(y);
      });
      rows.forEach(function(r){ body.appendChild(r); });
    });
  });
});
"""


def write_csv(table: pl.DataFrame, path: str) -> None:
    write_atomically(path, table.write_csv().encode("utf-8"))


def format_value(value) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        return f"{value:,.2f}" if abs(value) < 1e15 else f"{value:.3g}"
    return str(value)


def _score(metric: str, value: float) -> float:
    if metric in LOWER_IS_BETTER:
        return -value
    if metric in SMALLER_MAGNITUDE_IS_BETTER:
        return -abs(value)
    return value


def _colour(t: float) -> str:
    """0 = worst (green) ... 1 = best (red): the Taiwan market's colours for down and up."""
    low, high = (46, 160, 67), (220, 50, 47)
    r, g, b = (round(lo + (hi - lo) * t) for lo, hi in zip(low, high))
    return f"rgb({r},{g},{b})"


def _cell_values(part: pl.DataFrame, x: str, y: str | None, metric: str) -> dict:
    """(x, y) -> best value of the metric there (several rows when there are more parameters)."""
    cells: dict = {}
    for row in part.iter_rows(named=True):
        key = (row[x], row[y] if y else None)
        value = row[metric]
        if value is None or (isinstance(value, float) and math.isnan(value)):
            cells.setdefault(key, None)
            continue
        best = cells.get(key)
        if best is None or _score(metric, value) > _score(metric, best):
            cells[key] = value
    return cells


def _heatmap(part: pl.DataFrame, x: str, y: str | None, metric: str, title: str) -> str:
    xs = sorted(set(part[x].to_list()), key=_sort_key)
    ys = sorted(set(part[y].to_list()), key=_sort_key) if y else [None]
    cells = _cell_values(part, x, y, metric)
    scores = [_score(metric, v) for v in cells.values() if v is not None]
    lo, hi = (min(scores), max(scores)) if scores else (0.0, 0.0)
    width, height = LABEL_W + CELL_W * len(xs), LABEL_H * 2 + CELL_H * len(ys)
    out = [f'<figure><figcaption>{html.escape(title)}</figcaption>'
           f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-size="12" font-family="sans-serif">']
    out.append(f'<text x="{LABEL_W + CELL_W * len(xs) / 2}" y="14" text-anchor="middle" '
               f'font-weight="bold">{html.escape(x)}</text>')
    if y:
        out.append(f'<text x="4" y="{LABEL_H + 14}" font-weight="bold">{html.escape(y)}</text>')
    for i, xv in enumerate(xs):
        out.append(f'<text x="{LABEL_W + CELL_W * i + CELL_W / 2}" y="{LABEL_H - 6}" '
                   f'text-anchor="middle">{html.escape(str(xv))}</text>')
    for j, yv in enumerate(ys):
        top = LABEL_H + CELL_H * j
        if y:
            out.append(f'<text x="{LABEL_W - 8}" y="{top + CELL_H / 2 + 4}" '
                       f'text-anchor="end">{html.escape(str(yv))}</text>')
        for i, xv in enumerate(xs):
            left = LABEL_W + CELL_W * i
            value = cells.get((xv, yv))
            if value is None:
                fill, text = "#bbb", "error" if (xv, yv) in cells else ""
            else:
                t = 0.5 if hi == lo else (_score(metric, value) - lo) / (hi - lo)
                fill, text = _colour(t), format_value(value)
            out.append(f'<rect x="{left}" y="{top}" width="{CELL_W - 2}" height="{CELL_H - 2}" '
                       f'fill="{fill}"><title>{html.escape(f"{x}={xv} {y}={yv}: {text}")}'
                       f'</title></rect>')
            out.append(f'<text x="{left + CELL_W / 2}" y="{top + CELL_H / 2 + 4}" '
                       f'text-anchor="middle" fill="#fff">{html.escape(text)}</text>')
    out.append("</svg></figure>")
    return "".join(out)


def _sort_key(value):
    return (0, value, "") if isinstance(value, (int, float)) else (1, 0, str(value))


def _table(frame: pl.DataFrame) -> str:
    head = "".join(f"<th>{html.escape(c)}</th>" for c in frame.columns)
    body = []
    for row in frame.iter_rows():
        cells = []
        for value in row:
            raw = "" if value is None else str(value)
            css = ""
            if isinstance(value, str):  # long texts (error messages) wrap
                css = ' class="text long"' if len(value) > 40 else ' class="text"'
            shown = html.escape(format_value(value))
            cells.append(f'<td{css} data-v="{html.escape(raw)}">{shown}</td>')
        body.append("<tr>" + "".join(cells) + "</tr>")
    return (f'<table class="sortable"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(body)}</tbody></table>')


def render_html(table: pl.DataFrame, param_names: list[str], metric: str, *, title: str) -> str:
    parts = [f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{html.escape(title)}"
             f"</title><style>{_STYLE}</style></head><body><h1>{html.escape(title)}</h1>"]
    failed = table.filter(pl.col("error").is_not_null()).height
    parts.append(f'<p class="note">{table.height} runs, {failed} failed. Ranked by '
                 f'<b>{html.escape(metric)}</b>, best first.</p>')
    sampled = f"{metric}_in" in table.columns
    if param_names:
        x, y = param_names[0], (param_names[1] if len(param_names) > 1 else None)
        note = (f" Each cell shows the best value over the other parameters "
                f"({', '.join(param_names[2:])})." if len(param_names) > 2 else "")
        parts.append(f"<h2>{html.escape(metric)} by {html.escape(x)}"
                     f"{' and ' + html.escape(y) if y else ''}, per window</h2>"
                     f'<p class="note">Red is better, green worse; grey cells failed.{note}</p>'
                     '<div class="heatmaps">')
        for window in table["window"].unique(maintain_order=True).sort().to_list():
            part = table.filter(pl.col("window") == window)
            sample = part["sample"][0]
            label = f"{window} ({sample}-of-sample)" if sample == "out" else (
                f"{window} (in-sample)" if sample else window)
            parts.append(_heatmap(part, x, y, metric, label))
        parts.append("</div>")
    if sampled:
        parts.append("<h2>In-sample against out-of-sample</h2><p class='note'>Ranked by the "
                     "in-sample mean; a set that is good only in-sample is likely overfitted."
                     "</p>")
        parts.append(_table(by_parameter_set(table, param_names, metric)))
    parts.append("<h2>All runs</h2><p class='note'>Click a column to sort.</p>")
    parts.append(_table(table))
    parts.append(f"<script>{_SORT_JS}</script></body></html>")
    return "".join(parts)


def write_outputs(table: pl.DataFrame, folder: str, param_names: list[str], metric: str,
                  *, title: str) -> tuple[str, str]:
    """sweep.csv and sweep.html in `folder`; returns their paths."""
    csv_path, html_path = os.path.join(folder, "sweep.csv"), os.path.join(folder, "sweep.html")
    write_csv(table, csv_path)
    page = render_html(table, param_names, metric, title=title)
    write_atomically(html_path, page.encode("utf-8"))
    return csv_path, html_path
