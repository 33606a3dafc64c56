"""The sweep's table: one row per (parameter set, window), best first."""

from __future__ import annotations

import polars as pl

from quarvel.sweep.engine import METRIC_KEYS

# Smaller is better for costs; for losses and drawdowns the smaller magnitude is better
# whatever sign the driver gives them.
LOWER_IS_BETTER = {"fees", "taxes", "slippage_cost"}
SMALLER_MAGNITUDE_IS_BETTER = {"max_drawdown", "max_drawdown_pct", "avg_loss", "largest_loss"}
INT_METRICS = {"round_trips"}
ROW_TAIL = ("ticks", "seconds", "error", "run")


def check_metric(metric: str) -> None:
    if metric not in METRIC_KEYS:
        raise ValueError(f"unknown metric {metric!r}; choose one of {', '.join(METRIC_KEYS)}")


def _score(metric: str, column: str | None = None) -> pl.Expr:
    """`column` (default: the metric) as a score where larger is better; null stays null."""
    value = pl.col(column or metric).cast(pl.Float64)
    if metric in LOWER_IS_BETTER:
        return -value
    if metric in SMALLER_MAGNITUDE_IS_BETTER:
        return -value.abs()
    return value


def build_table(rows: list[dict], param_names: list[str], metric: str) -> pl.DataFrame:
    """Rows from the tasks -> the sorted table (in/out columns when windows are marked)."""
    records = []
    for row in sorted(rows, key=lambda r: r["task"]):
        window = row["window"]
        record = {"task": row["task"], **row["params"], "window": window.label,
                  "sample": window.sample, "start": window.start, "end": window.end}
        record.update({key: row["metrics"].get(key) for key in METRIC_KEYS})
        record.update({key: row.get(key) for key in ROW_TAIL})
        records.append(record)
    schema = {key: (pl.Int64 if key in INT_METRICS else pl.Float64) for key in METRIC_KEYS}
    schema.update({"ticks": pl.Int64, "seconds": pl.Float64, "error": pl.String,
                   "run": pl.String, "sample": pl.String})
    frame = pl.DataFrame(records, schema_overrides=schema, infer_schema_length=None)
    rank = metric
    if frame["sample"].is_not_null().any():
        frame = _with_samples(frame, param_names, metric)
        rank = f"{metric}_in"
    # Ties and failures keep grid order, so the table does not depend on finishing order.
    frame = frame.with_columns(_score(metric, rank).alias("_score"))
    frame = frame.sort(["_score", "task"], descending=[True, False], nulls_last=True)
    return frame.drop("_score")


def _with_samples(frame: pl.DataFrame, param_names: list[str], metric: str) -> pl.DataFrame:
    """Each parameter set's mean in-sample and out-of-sample metric, on every one of its rows."""
    for sample in ("in", "out"):
        part = frame.filter(pl.col("sample") == sample)
        agg = pl.col(metric).cast(pl.Float64).mean().alias(f"{metric}_{sample}")
        if param_names:
            frame = frame.join(part.group_by(param_names).agg(agg), on=param_names, how="left",
                               nulls_equal=True)
        else:
            frame = frame.join(part.select(agg), how="cross")
    return frame


def by_parameter_set(table: pl.DataFrame, param_names: list[str], metric: str) -> pl.DataFrame:
    """One row per parameter set, in the table's order: in- and out-of-sample side by side."""
    columns = [*param_names, f"{metric}_in", f"{metric}_out"]
    if not param_names:  # no grid: the strategy's defaults are the one set
        return table.select(columns).head(1)
    return table.select(columns).unique(subset=param_names, keep="first", maintain_order=True)
