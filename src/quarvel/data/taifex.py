"""Turn the futures exchange's public trade-by-trade files into cache ticks.

One `Daily_YYYY_MM_DD.zip` (or the Big5 `.csv` inside it) holds every futures trade of one
trading day: the night session that opened the evening before, then the day session. Each
chosen contract becomes the ticks of one continuous code (`TX` R1 -> `TXFR1`).
"""

from __future__ import annotations

from collections.abc import Iterator

import polars as pl

from quarvel.data.taifex_read import (MONTH_RULE, ROW_RULES, SourceFault, open_source,
                                      read_numbers)
from quarvel.data.validate import check_ticks

# Continuous-code stem of each product the importer knows.
PRODUCT_STEMS = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF"}
_RULES = (MONTH_RULE, *ROW_RULES)


def _check(rows: pl.DataFrame, rules: range, keep: pl.Expr = pl.lit(True)) -> None:
    """Raise the first rule (in order) that any kept row breaks, naming its first row."""
    first = rows.lazy().filter(keep).select(
        pl.col("row").filter(pl.col(f"broken{i}")).min().alias(str(i)) for i in rules
    ).collect().row(0)
    for row, i in zip(first, rules):
        if row is not None:
            raise SourceFault(_RULES[i][0], row)


def choose_contracts(rows: pl.DataFrame, products: list[str],
                     ranks: list[int]) -> dict[str, pl.Expr]:
    """{code: filter of its rows} for the contracts ranked `ranks` (1 = the product's nearest
    contract present in the file), by code; a kept row breaking a rule refuses the file."""
    _check(rows, range(1))
    stems = {i: PRODUCT_STEMS[name] for i, name in enumerate(products)}
    present = rows.group_by("product", "order").len().with_columns(
        rank=pl.col("order").rank("dense").over("product").cast(pl.Int64)
    ).filter(pl.col("rank").is_in(ranks)).select(
        "product", "order", code=pl.concat_str(
            pl.col("product").replace_strict(stems, return_dtype=pl.String),
            pl.lit("R"), pl.col("rank").cast(pl.String))).sort("code")
    filters = {code: (pl.col("product") == product) & (pl.col("order") == order)
               for product, order, code in present.iter_rows()}
    if filters:
        _check(rows, range(1, len(_RULES)), pl.any_horizontal(*filters.values()))
    return filters


def tick_test(auction: pl.Expr, close: pl.Expr) -> pl.Expr:
    """1 above the previous price, 2 below, unchanged keeps the previous value; 0 restarts it
    at the first trade and at the opening auctions."""
    change = close.diff()
    start = auction | (pl.int_range(pl.len()) == 0)
    return (pl.when(start).then(0).when(change > 0).then(1).when(change < 0).then(2)
            .otherwise(None).forward_fill().cast(pl.Int64))


def cache_ticks(rows: pl.DataFrame, chosen: pl.Expr, code: str, day: str) -> pl.DataFrame:
    """The checked cache frame of one code, sorted by time (same-second trades in file order)."""
    part = rows.filter(chosen).select("row", "ts", "close", "volume", "auction")
    part = part.sort("ts", maintain_order=True)
    ticks = part.select(
        "ts", "close", "volume", bid_price=pl.lit(0.0), bid_volume=pl.lit(0, pl.Int64),
        ask_price=pl.lit(0.0), ask_volume=pl.lit(0, pl.Int64),
        tick_type=tick_test(pl.col("auction"), pl.col("close")))
    fault = check_ticks(ticks, day, "Future")
    if fault is not None:
        row = None if fault.row is None else int(part["row"][fault.row - 1])
        raise SourceFault(f"{code}: {fault.rule}", row)
    return ticks


def parse_file(path: str, products: list[str], ranks: list[int],
               weekly: bool = False) -> tuple[str, Iterator[tuple[str, pl.DataFrame]]]:
    """(trading day, (code, cache ticks) one code at a time) of one public file.

    SourceFault when it is refused, possibly while the codes are being produced: one code's
    ticks are held at a time.
    """
    with open_source(path) as (day, stream):
        rows = read_numbers(stream, products, weekly)
    filters = choose_contracts(rows, products, ranks)
    return day, ((code, cache_ticks(rows, chosen, code, day)) for code, chosen in filters.items())
