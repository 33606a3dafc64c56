"""python -m quarvel.sweep: arguments, progress over tasks, the best ten and exit codes."""

from __future__ import annotations

import argparse
import logging
import sys

from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn,
                           TimeElapsedColumn, TimeRemainingColumn)
from rich.table import Table

from quarvel.backtest.strategy_loading import parse_codes
from quarvel.sweep.engine import METRIC_KEYS
from quarvel.sweep.grid import parse_grid_option, parse_windows
from quarvel.sweep.report import format_value as _fmt
from quarvel.sweep.table import by_parameter_set
from quarvel.utils import console

BEST_SHOWN = 10


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quarvel.sweep",
        description="Backtest one strategy over a grid of parameters and date windows on "
        "Dask (a local cluster, or a running one with --scheduler) and write sweep.csv and "
        "sweep.html.")
    parser.add_argument("--strategy", required=True, metavar="FILE:CLASS",
                        help="strategy class; each parameter set goes to its constructor as "
                        "keyword arguments")
    parser.add_argument("--codes", required=True, metavar="CODE:MARKET,...",
                        help='codes to replay, e.g. "2330:Stock,TXFR1:Future"')
    parser.add_argument("--grid", action="append", default=[], metavar="NAME=V1,V2,...",
                        help="one parameter and its values; repeat for each parameter")
    parser.add_argument("--window", action="append", default=[], required=True,
                        metavar="START:END[:in|out]",
                        help="a date range (inclusive); repeat for each window; mark every "
                        "window in or out to compare in-sample with out-of-sample")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="tick cache and sweep outputs (default: ./data)")
    parser.add_argument("--ticks-dir", metavar="DIR",
                        help='serve ticks from a folder of "CODE YYYY-MM-DD - ticks.csv" files')
    parser.add_argument("--synthetic", action="store_true",
                        help="replay the built-in synthetic market")
    parser.add_argument("--capital", type=int, metavar="AMOUNT", help="initial capital of each run")
    parser.add_argument("--rules", choices=("default", "taiwan"), default="default",
                        help="market rules of each run: default (the fee settings of the account) or "
                        "taiwan (Taiwan costs, tick sizes, margin and buying power)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:8786",
                        help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--metric", default="net_profit", choices=METRIC_KEYS,
                        help="the metric ranked on (default net_profit)")
    parser.add_argument("--reports", action="store_true",
                        help="also keep every run's own reports under the sweep's folder")
    parser.add_argument("--out", metavar="DIR", help="the sweep's folder (default: "
                        "<data-dir>/sweeps/<stamp>-<strategy>-<id>)")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.add_argument("--debug", action="store_true", help="show tracebacks")
    return parser


def _progress(enabled: bool) -> Progress:
    return Progress(TextColumn("[bold]runs"), BarColumn(), MofNCompleteColumn(),
                    TextColumn("[red]{task.fields[failed]} failed"), TimeElapsedColumn(),
                    TextColumn("ETA"), TimeRemainingColumn(), console=console.rich,
                    disable=not enabled, transient=False)


def _best_table(table, param_names: list[str], metric: str) -> Table:
    """The best ten: parameter sets with in- and out-of-sample side by side when marked."""
    if f"{metric}_in" in table.columns:
        shown = by_parameter_set(table, param_names, metric)
        shown = shown.filter(shown[f"{metric}_in"].is_not_null())
        columns = shown.columns
    else:
        shown = table
        extra = ["net_profit"] if metric != "net_profit" else []
        columns = [*param_names, "window", metric, *extra, "round_trips", "ticks"]
    view = Table(title=f"Best {min(BEST_SHOWN, shown.height)} by {metric}")
    for column in columns:
        view.add_column(column, justify="left" if column == "window" else "right")
    for row in shown.head(BEST_SHOWN).iter_rows(named=True):
        view.add_row(*(_fmt(row[c]) for c in columns))
    return view


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        codes = parse_codes(args.codes)
        grid = dict(parse_grid_option(text) for text in args.grid)
        windows = parse_windows(args.window)
        if args.capital is not None and args.capital <= 0:
            raise ValueError("--capital must be above 0")
        if args.synthetic and args.ticks_dir:
            raise ValueError("--synthetic and --ticks-dir exclude each other")
    except ValueError as error:
        parser.error(str(error))
    logging.getLogger("distributed").setLevel(logging.ERROR)
    from quarvel.sweep.runner import sweep

    with _progress(not args.no_progress) as bar:
        task = bar.add_task("runs", total=None, failed=0)
        failed = 0

        def on_progress(row: dict, total: int) -> None:
            nonlocal failed
            failed += row["error"] is not None
            bar.update(task, total=total, advance=1, failed=failed)

        try:
            outcome = sweep(args.strategy, codes, grid, windows, scheduler=args.scheduler,
                            workers=args.workers, metric=args.metric, reports=args.reports,
                            data_dir=args.data_dir, ticks_dir=args.ticks_dir,
                            synthetic=True if args.synthetic else None, initial_capital=args.capital,
                            rules=args.rules, output_dir=args.out, on_progress=on_progress)
        except (ValueError, TypeError) as error:
            if args.debug:
                raise
            console.print(f"[red]{error}[/red]")
            return 2
        except (OSError, RuntimeError) as error:  # cluster unreachable, disk, no workers
            if args.debug:
                raise
            console.print(f"[red]{type(error).__name__}: {error}[/red]")
            return 1
        except KeyboardInterrupt:
            # Leaving the client's context cancels the runs still queued or running.
            console.print("[red]sweep interrupted; no table written[/red]")
            return 130
    table = outcome.table
    console.print(_best_table(table, list(grid), args.metric))
    errors = table.filter(table["error"].is_not_null())
    for row in errors.head(5).iter_rows(named=True):
        console.print(f"[red]failed: task {row['task']} {row['window']}: {row['error']}[/red]")
    console.print(f"{table.height} runs, {errors.height} failed"
                  + (" (tracebacks in errors.txt)" if errors.height else ""))
    console.print(f"sweep.csv and sweep.html in {outcome.folder}")
    # Failed runs are rows of the table; only a sweep where nothing ran is a failure.
    return 1 if errors.height == table.height else 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
