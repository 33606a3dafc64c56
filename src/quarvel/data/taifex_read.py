"""Read one public trade-by-trade file block by block into numeric rows.

A day is about 25 MB of text (500,000 trades of every product). It is read in blocks of
whole lines; polars parses each block and keeps only the wanted products' rows, as numbers,
so the text is never held whole.
"""

from __future__ import annotations

import contextlib
import os
import re
import zipfile
import zlib
from collections.abc import Iterator
from typing import BinaryIO

import polars as pl

from quarvel.data.validate import TickFault

SOURCE_COLUMNS = ("成交日期", "商品代號", "到期月份(週別)", "成交時間", "成交價格",
                  "成交數量(B+S)", "近月價格", "遠月價格", "開盤集合競價")
_TEXT_SCHEMA = {name: pl.String for name in (
    "date", "product", "month", "time", "price", "volume2", "near", "far", "mark")}
_BLOCK = 1 << 20
_DAY_IN_NAME = re.compile(r"Daily_(\d{4})_(\d{2})_(\d{2})")
_NS = 1_000_000_000


class SourceFault(Exception):
    """A public file that cannot be imported: the first broken rule, and where."""

    def __init__(self, rule: str, row: int | None = None) -> None:
        self.fault = TickFault(rule, row)
        super().__init__(self.fault.describe())


def day_from_name(*names: str) -> str:
    """The trading day ("YYYY-MM-DD") written in the first of `names` that holds one."""
    for name in names:
        found = _DAY_IN_NAME.search(os.path.basename(name))
        if found:
            return "-".join(found.groups())
    raise SourceFault("file name must hold the trading day as Daily_YYYY_MM_DD")


@contextlib.contextmanager
def open_source(path: str) -> Iterator[tuple[str, BinaryIO]]:
    """(trading day, binary stream of the CSV) of a `.zip` holding one CSV, or of a CSV file.

    Damage found while the stream is read (a truncated or corrupt zip) refuses the file too.
    """
    try:
        with open(path, "rb") as handle:
            if not zipfile.is_zipfile(handle):
                if path.lower().endswith(".zip"):
                    raise SourceFault("not a readable zip archive (truncated or damaged?)")
                handle.seek(0)
                yield day_from_name(path), handle
                return
        with zipfile.ZipFile(path) as archive:
            members = [name for name in archive.namelist() if name.lower().endswith(".csv")]
            if len(members) != 1:
                raise SourceFault(f"the zip must hold exactly one .csv file, found {len(members)}")
            day = day_from_name(path, members[0])
            with archive.open(members[0]) as member:
                yield day, member
    except (zipfile.BadZipFile, zlib.error, EOFError) as error:
        raise SourceFault(f"not a readable zip archive: {error}") from None
    except OSError as error:
        raise SourceFault(f"cannot read: {error.strerror or error}") from None


def check_header(line: bytes) -> None:
    try:
        header = line.decode("big5")
    except UnicodeDecodeError:
        raise SourceFault("not Big5 text", 0) from None
    names = tuple(name.strip() for name in header.lstrip("\ufeff").split(","))
    if names != SOURCE_COLUMNS:
        raise SourceFault("header must be the exchange's Big5 columns "
                          + ",".join(SOURCE_COLUMNS), 0)


def line_blocks(stream: BinaryIO, size: int = _BLOCK) -> Iterator[bytes]:
    """The rest of `stream` as blocks of whole lines, about `size` bytes each."""
    rest = b""
    while chunk := stream.read(size):
        chunk = rest + chunk
        cut = chunk.rfind(b"\n") + 1
        rest = chunk[cut:]
        if cut:
            yield chunk[:cut]
    if rest:
        yield rest


def as_utf8(block: bytes, first_row: int) -> bytes:
    """A block of Big5 lines as UTF-8.

    The exchange's rows are plain ASCII, which Big5 leaves unchanged, so most blocks pass
    as they are; a byte that is not Big5 is reported with its row. (Big5 never uses the
    newline byte inside a character, so blocks cut at newlines decode on their own.)
    """
    if block.isascii():
        return block
    try:
        return block.decode("big5").encode()
    except UnicodeDecodeError as error:
        raise SourceFault("not Big5 text", first_row + block.count(b"\n", 0, error.start)) from None


def contract_order(month: pl.Expr) -> pl.Expr:
    """Expiry order of "YYYYMM" and weekly "YYYYMMWn": a month's contract expires in its
    third week. Null when the month is malformed."""
    week = month.str.extract(r"W(\d)$").cast(pl.Int64).fill_null(3)
    return month.str.slice(0, 6).cast(pl.Int64, strict=False) * 10 + week


# Each rule is checked on the rows kept; the first broken one refuses the file.
MONTH_RULE = ("contract month must be YYYYMM or YYYYMMWn",
              ~pl.col("month").str.contains(r"^\d{6}(W\d)?$"))
ROW_RULES = (
    ("missing fields",
     pl.any_horizontal(pl.col("date", "time", "price", "volume2", "mark").is_null())),
    ("成交日期 must be a date YYYYMMDD",
     ~pl.col("date").str.contains(r"^\d{8}$")
     | pl.col("date").str.strptime(pl.Date, "%Y%m%d", strict=False).is_null()),
    ("成交時間 must be a time HHMMSS",
     ~pl.col("time").str.contains(r"^([01]\d|2[0-3])[0-5]\d[0-5]\d$")),
    ("成交價格 must be a number", pl.col("price").cast(pl.Float64, strict=False).is_null()),
    ("成交數量(B+S) must be a whole number > 0",
     pl.col("volume2").cast(pl.Int64, strict=False).fill_null(0) <= 0),
    ("成交數量(B+S) must be even (the buy side plus the sell side)",
     pl.col("volume2").cast(pl.Int64, strict=False) % 2 != 0),
)


def _numbers(text: pl.LazyFrame, products: list[str], weekly: bool) -> pl.LazyFrame:
    """Single-month rows of `products` as numbers, with one flag column per rule."""
    text = text.with_columns(pl.col("product", "month", "time", "mark").str.strip_chars())
    keep = pl.col("product").is_in(products) & ~pl.col("month").str.contains("/", literal=True)
    if not weekly:
        keep &= ~pl.col("month").str.contains("W", literal=True)
    days = pl.col("date").str.strptime(pl.Date, "%Y%m%d", strict=False).cast(pl.Int64)
    clock = pl.col("time").cast(pl.Int64, strict=False)
    seconds = clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
    rules = (MONTH_RULE, *ROW_RULES)
    return text.filter(keep).select(
        "row", product=pl.col("product").replace_strict(
            {name: i for i, name in enumerate(products)}, return_dtype=pl.UInt8),
        order=contract_order(pl.col("month")), ts=(days * 86400 + seconds) * _NS,
        close=pl.col("price").cast(pl.Float64, strict=False),
        volume=pl.col("volume2").cast(pl.Int64, strict=False) // 2,
        auction=pl.col("mark") == "*",
        **{f"broken{i}": rule.fill_null(False) for i, (_, rule) in enumerate(rules)})


def read_numbers(stream: BinaryIO, products: list[str], weekly: bool) -> pl.DataFrame:
    """Every kept row of a public file in file order, numbered from 1 (the header is row 0)."""
    check_header(stream.readline())
    parts, next_row = [], 1
    for block in line_blocks(stream):
        try:
            # A short row gets nulls for its missing fields (a rule below reports it).
            text = pl.read_csv(as_utf8(block, next_row), has_header=False, schema=_TEXT_SCHEMA,
                               missing_columns="insert")
        except pl.exceptions.PolarsError as error:
            raise SourceFault(f"unreadable CSV near row {next_row}: "
                              f"{str(error).splitlines()[0]}") from None
        text = text.with_row_index("row", offset=next_row)
        next_row += text.height
        parts.append(_numbers(text.lazy(), products, weekly).collect())
    if next_row == 1:
        raise SourceFault("no trades in the file")
    return pl.concat(parts)
