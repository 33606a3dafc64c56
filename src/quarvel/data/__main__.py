"""python -m quarvel.data: import public data into the tick cache.

Exit codes: 0 every file imported, 1 some file refused, 2 wrong arguments.
"""

from __future__ import annotations

import argparse
import sys

import polars as pl
from rich.markup import escape
from rich.table import Table

from quarvel.data.taifex_import import Refusal, import_taifex, parse_months, parse_products
from quarvel import utils


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quarvel.data",
                                     description="Import public market data into the tick cache.")
    commands = parser.add_subparsers(dest="command", required=True)
    taifex = commands.add_parser(
        "taifex", help="import the futures exchange's public trade-by-trade files",
        description="Import Daily_YYYY_MM_DD.zip (or .csv) trade-by-trade files of the futures "
        "exchange into the tick cache, one file per continuous code and trading day.")
    taifex.add_argument("paths", nargs="+", metavar="FILE_OR_FOLDER",
                        help="Daily_YYYY_MM_DD.zip or .csv files, or folders holding them")
    taifex.add_argument("--product", default="TX", metavar="TX,MTX,TMF",
                        help="products to import (default: TX)")
    taifex.add_argument("--months", default="R1", metavar="R1,R2",
                        help="contracts to import: R1 the nearest month in each file, R2 the "
                        "next (default: R1)")
    taifex.add_argument("--weekly", action="store_true",
                        help="count weekly contracts among the months (dropped by default)")
    taifex.add_argument("--data-dir", metavar="DIR",
                        help="data folder whose sino/ticks receives the files (default: ./data)")
    return parser


def _print_refusal(refusal: Refusal) -> None:
    utils.console.print(f"[red]refused {escape(refusal.describe())}[/red]")


def _print_written(written: pl.DataFrame) -> None:
    table = Table(title="Code-days written")
    for column in ("code", "day", "rows", "path"):
        table.add_column(column, justify="right" if column == "rows" else "left")
    for code, day, rows, path in written.iter_rows():
        table.add_row(code, day, f"{rows:,}", escape(path))
    utils.console.print(table)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        products, months = parse_products(args.product), parse_months(args.months)
    except ValueError as error:
        parser.error(str(error))
    refused: list[Refusal] = []

    def on_refused(refusal: Refusal) -> None:
        refused.append(refusal)
        _print_refusal(refusal)

    written = import_taifex(args.paths, products, months, weekly=args.weekly,
                            data_dir=args.data_dir, on_refused=on_refused)
    if written.height:
        _print_written(written)
    elif not refused:
        utils.console.print("[yellow]nothing written: the files hold none of the chosen "
                            "contracts[/yellow]")
    return 1 if refused else 0


if __name__ == "__main__":
    sys.exit(main())
