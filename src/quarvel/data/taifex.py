"""Read the futures exchange's public trade-by-trade files and turn them into cache ticks.

One `Daily_YYYY_MM_DD.zip` (or the `.csv` inside it, Big5) holds every futures trade of one
trading day: the night session that opened the evening before, then the day session. Each
selected contract becomes the ticks of one continuous code (`TX` R1 -> `TXFR1`).
"""

from __future__ import annotations

import os
import re
import zipfile
import zlib

import polars as pl

from quarvel.data.validate import TICK_SCHEMA, TickFault, check_ticks

# Continuous-code stem of each product the importer knows.
PRODUCT_STEMS = {"TX": "TXF", "MTX": "MXF", "TMF": "TMF"}
SOURCE_COLUMNS = ("成交日期", "商品代號", "到期月份(週別)", "成交時間", "成交價格",
                  "成交數量(B+S)", "近月價格", "遠月價格", "開盤集合競價")
# Columns read by position; the near/far month prices only concern spreads, which are dropped.
_READ = {0: "date", 1: "product", 2: "month", 3: "time", 4: "price", 5: "volume2", 8: "mark"}
_DAY_IN_NAME = re.compile(r"Daily_(\d{4})_(\d{2})_(\d{2})")
_NS = 1_000_000_000


class SourceFault(Exception):
    """A public file that cannot be imported: the first broken rule, and where."""

    def __init__(self, fault: TickFault) -> None:
        super().__init__(fault.describe())
        self.fault = fault


def _refuse(rule: str, row: int | None = None) -> SourceFault:
    return SourceFault(TickFault(rule, row))


def day_from_name(*names: str) -> str:
    """The trading day ("YYYY-MM-DD") written in the first of `names` that holds one."""
    for name in names:
        found = _DAY_IN_NAME.search(os.path.basename(name))
        if found:
            return "-".join(found.groups())
    raise _refuse("file name must hold the trading day as Daily_YYYY_MM_DD")


def read_source_bytes(path: str) -> tuple[str, bytes]:
    """(trading day, CSV bytes) of a `.zip` holding one CSV, or of a CSV file."""
    try:
        with open(path, "rb") as handle:
            if not zipfile.is_zipfile(handle):
                if path.lower().endswith(".zip"):
                    raise _refuse("not a readable zip archive (truncated or damaged?)")
                handle.seek(0)
                return day_from_name(path), handle.read()
        with zipfile.ZipFile(path) as archive:
            members = [name for name in archive.namelist() if name.lower().endswith(".csv")]
            if len(members) != 1:
                raise _refuse(f"the zip must hold exactly one .csv file, found {len(members)}")
            day = day_from_name(path, members[0])
            return day, archive.read(members[0])
    except (zipfile.BadZipFile, zlib.error, EOFError) as error:
        raise _refuse(f"not a readable zip archive: {error}") from None
    except OSError as error:
        raise _refuse(f"cannot read: {error.strerror or error}") from None


def _utf8_body(raw: bytes) -> bytes:
    """The data rows as UTF-8, after checking the Big5 header names the exchange's columns.

    The exchange's rows are plain ASCII, which Big5 leaves unchanged: only the header needs
    decoding, and the body is handed to polars as it is. A body with other bytes is decoded
    whole, so a byte that is not Big5 is reported with its row.
    """
    end = raw.find(b"\n")
    header_bytes, body = (raw, b"") if end < 0 else (raw[:end], raw[end + 1:])
    try:
        header = header_bytes.decode("big5")
    except UnicodeDecodeError:
        raise _refuse("not Big5 text", 0) from None
    names = tuple(name.strip() for name in header.lstrip("\ufeff").split(","))
    if names != SOURCE_COLUMNS:
        raise _refuse("header must be the exchange's Big5 columns " + ",".join(SOURCE_COLUMNS), 0)
    if body.isascii():
        return body
    try:
        return body.decode("big5").encode()
    except UnicodeDecodeError as error:
        raise _refuse("not Big5 text", body.count(b"\n", 0, error.start) + 1) from None


def read_trades(raw: bytes) -> pl.DataFrame:
    """Every row of a public file as text, numbered from 1 (the header is row 0)."""
    body = _utf8_body(raw)
    if not body.strip():
        raise _refuse("no trades in the file")
    try:
        frame = pl.read_csv(body, has_header=False, infer_schema=False, columns=list(_READ))
    except pl.exceptions.PolarsError as error:
        raise _refuse(f"unreadable CSV: {str(error).splitlines()[0]}") from None
    frame = frame.rename(dict(zip(frame.columns, _READ.values())))
    return frame.with_row_index("row", offset=1).with_columns(
        pl.col("product", "month", "time", "mark").str.strip_chars())


def contract_order(month: pl.Expr) -> pl.Expr:
    """Expiry order of "YYYYMM" and weekly "YYYYMMWn": a month's contract expires in its third week."""
    week = month.str.extract(r"W(\d)$").cast(pl.Int64).fill_null(3)
    return month.str.slice(0, 6).cast(pl.Int64) * 10 + week


def _first_fault(frame: pl.DataFrame, checks: list[tuple[pl.Expr, str]]) -> None:
    """Raise the first check (in order) that any row breaks, naming its first row."""
    broken = frame.select(pl.col("row").filter(expr).first().alias(str(i))
                          for i, (expr, _) in enumerate(checks)).row(0)
    for row, (_, rule) in zip(broken, checks):
        if row is not None:
            raise _refuse(rule, row)


def select_contracts(trades: pl.DataFrame, products: list[str], ranks: list[int],
                     weekly: bool) -> pl.DataFrame:
    """Single-month rows of `products` whose contract is one of `ranks` (1 = nearest)."""
    rows = trades.filter(pl.col("product").is_in(products)
                         & ~pl.col("month").str.contains("/", literal=True))
    _first_fault(rows, [(~pl.col("month").str.contains(r"^\d{6}(W\d)?$"),
                         "contract month must be YYYYMM or YYYYMMWn")])
    if not weekly:
        rows = rows.filter(~pl.col("month").str.contains("W", literal=True))
    rows = rows.with_columns(order=contract_order(pl.col("month")))
    rows = rows.with_columns(rank=pl.col("order").rank("dense").over("product").cast(pl.Int64))
    stems = pl.col("product").replace_strict(PRODUCT_STEMS, return_dtype=pl.String)
    return rows.filter(pl.col("rank").is_in(ranks)).with_columns(
        code=pl.concat_str(stems, pl.lit("R"), pl.col("rank").cast(pl.String)))


def convert(rows: pl.DataFrame) -> pl.DataFrame:
    """Times, prices and volumes of the selected rows, checked row by row in file order."""
    _first_fault(rows, [
        (pl.any_horizontal(pl.col("date", "time", "price", "volume2", "mark").is_null()),
         "missing fields"),
        (~pl.col("date").str.contains(r"^\d{8}$")
         | pl.col("date").str.strptime(pl.Date, "%Y%m%d", strict=False).is_null(),
         "成交日期 must be a date YYYYMMDD"),
        (~pl.col("time").str.contains(r"^([01]\d|2[0-3])[0-5]\d[0-5]\d$"),
         "成交時間 must be a time HHMMSS"),
        (pl.col("price").cast(pl.Float64, strict=False).is_null(), "成交價格 must be a number"),
        (pl.col("volume2").cast(pl.Int64, strict=False).fill_null(0) <= 0,
         "成交數量(B+S) must be a whole number > 0"),
        (pl.col("volume2").cast(pl.Int64, strict=False) % 2 != 0,
         "成交數量(B+S) must be even (the buy side plus the sell side)"),
    ])
    days = pl.col("date").str.strptime(pl.Date, "%Y%m%d").cast(pl.Int64)
    clock = pl.col("time").cast(pl.Int64)
    seconds = clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
    return rows.select(
        "code", "row", ts=(days * 86400 + seconds) * _NS,
        close=pl.col("price").cast(pl.Float64), volume=pl.col("volume2").cast(pl.Int64) // 2,
        auction=pl.col("mark") == "*")


def tick_test(auction: pl.Expr, close: pl.Expr) -> pl.Expr:
    """1 above the previous price, 2 below, unchanged keeps the previous value; 0 restarts it
    at the first trade and at the opening auctions."""
    change = close.diff()
    start = auction | (pl.int_range(pl.len()) == 0)
    return (pl.when(start).then(0).when(change > 0).then(1).when(change < 0).then(2)
            .otherwise(None).forward_fill().cast(pl.Int64))


def to_cache_ticks(rows: pl.DataFrame, day: str) -> dict[str, pl.DataFrame]:
    """One checked cache frame per code, sorted by time (same-second trades in file order)."""
    frames = {}
    for (code,), part in rows.partition_by("code", as_dict=True, maintain_order=True).items():
        part = part.sort("ts", maintain_order=True)
        ticks = part.select(
            "ts", "close", "volume", bid_price=pl.lit(0.0), bid_volume=pl.lit(0, pl.Int64),
            ask_price=pl.lit(0.0), ask_volume=pl.lit(0, pl.Int64),
            tick_type=tick_test(pl.col("auction"), pl.col("close"))).cast(TICK_SCHEMA)
        fault = check_ticks(ticks, day, "Future")
        if fault is not None:
            row = None if fault.row is None else int(part["row"][fault.row - 1])
            raise _refuse(f"{code}: {fault.rule}", row)
        frames[code] = ticks
    return dict(sorted(frames.items()))


def parse_file(path: str, products: list[str], ranks: list[int],
               weekly: bool = False) -> tuple[str, dict[str, pl.DataFrame]]:
    """(trading day, {code: cache ticks}) of one public file; SourceFault when it is refused."""
    day, raw = read_source_bytes(path)
    trades = read_trades(raw)
    del raw
    rows = convert(select_contracts(trades, products, ranks, weekly))
    return day, to_cache_ticks(rows, day)
