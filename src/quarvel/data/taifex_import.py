"""Import public trade-by-trade files into the tick cache, one validated file per code-day."""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable
from dataclasses import dataclass

import polars as pl

from quarvel.data.taifex import PRODUCT_STEMS, parse_file
from quarvel.data.taifex_read import SourceFault
from quarvel.data.tick_cache import remove_quietly, tick_file_name, ticks_folder, write_beside
from quarvel.data.validate import TickFault

WRITTEN_SCHEMA = {"code": pl.String, "day": pl.String, "rows": pl.Int64, "path": pl.String}
_PUBLIC_NAME = re.compile(r"^Daily_\d{4}_\d{2}_\d{2}.*\.(zip|csv)$", re.IGNORECASE)


@dataclass(frozen=True)
class Refusal:
    path: str
    fault: TickFault

    def describe(self) -> str:
        return f"{self.path}: {self.fault.describe()}"


class ImportRefused(Exception):
    """Some files were refused; `written` holds what the others wrote."""

    def __init__(self, refusals: list[Refusal], written: pl.DataFrame) -> None:
        super().__init__("; ".join(refusal.describe() for refusal in refusals))
        self.refusals = refusals
        self.written = written


def parse_products(products: str | Iterable[str]) -> list[str]:
    names = products.split(",") if isinstance(products, str) else list(products)
    names = [name.strip().upper() for name in names if name.strip()]
    unknown = [name for name in names if name not in PRODUCT_STEMS]
    if unknown or not names:
        raise ValueError(f"unknown product {', '.join(unknown) or '(none given)'}; "
                         f"known: {', '.join(PRODUCT_STEMS)}")
    return names


def parse_months(months: str | Iterable[str | int]) -> list[int]:
    """Contract ranks from "R1,R2" (or 1, 2): 1 is the nearest contract month of a file."""
    names = months.split(",") if isinstance(months, str) else list(months)
    ranks = []
    for name in names:
        text = str(name).strip().upper()
        found = re.fullmatch(r"R?([1-9]\d?)", text)
        if not found:
            raise ValueError(f"contract month must be R1, R2, ...: {name!r}")
        ranks.append(int(found.group(1)))
    if not ranks:
        raise ValueError("no contract month given")
    return sorted(set(ranks))


def public_files(paths: Iterable[str]) -> tuple[list[str], list[Refusal]]:
    """The given files, and the Daily_YYYY_MM_DD zip and csv files of the given folders;
    a folder holding none is refused."""
    files, empty = [], []
    for path in paths:
        if not os.path.isdir(path):
            files.append(path)
            continue
        found = sorted(os.path.join(path, name) for name in os.listdir(path)
                       if _PUBLIC_NAME.match(name))
        files += found
        if not found:
            empty.append(Refusal(path, TickFault("no Daily_YYYY_MM_DD .zip or .csv file in "
                                                 "the folder")))
    return files, empty


def _import_file(path: str, products: list[str], ranks: list[int], weekly: bool,
                 folder: str) -> list[dict]:
    """Write the code-days of one file: each to a temporary file first, all moved into place
    only once every one of them has passed the checks."""
    day, ticks = parse_file(path, products, ranks, weekly)
    staged = []  # (temporary, target, code, rows)
    try:
        for code, frame in ticks:
            target = os.path.join(folder, tick_file_name(code, day))
            try:
                staged.append((write_beside(frame, target), target, code, frame.height))
            except OSError as error:
                raise SourceFault(f"cannot write {target}: {error.strerror or error}") from None
        for temporary, target, _, _ in staged:
            try:
                os.replace(temporary, target)
            except OSError as error:
                raise SourceFault(f"cannot write {target}: {error.strerror or error}") from None
    finally:
        for temporary, _, _, _ in staged:
            remove_quietly(temporary)
    return [{"code": code, "day": day, "rows": rows, "path": target}
            for _, target, code, rows in staged]


def import_taifex(paths: str | os.PathLike | Iterable[str | os.PathLike],
                  products: str | Iterable[str] = "TX",
                  months: str | Iterable[str | int] = "R1", weekly: bool = False,
                  data_dir: str | None = None,
                  on_refused: Callable[[Refusal], None] | None = None) -> pl.DataFrame:
    """Import public files (or folders of them) into the tick cache.

    Every code-day of a file is checked (and staged in a temporary file) before any of them
    replaces a cache file; a file breaking a rule is refused whole. Returns the code-days written
    (code, day, rows, path). Refusals go to `on_refused`; without it, ImportRefused is
    raised after the other files are imported.
    """
    names = parse_products(products)
    ranks = parse_months(months)
    folder = ticks_folder(data_dir)
    single = isinstance(paths, (str, os.PathLike))
    files, refusals = public_files(os.fspath(path) for path in ([paths] if single else paths))
    if on_refused is not None:
        for refusal in refusals:
            on_refused(refusal)
    written = []
    for path in files:
        try:
            written += _import_file(path, names, ranks, weekly, folder)
        except SourceFault as refused:
            refusals.append(Refusal(path, refused.fault))
            if on_refused is not None:
                on_refused(refusals[-1])
    result = pl.DataFrame(written, schema=WRITTEN_SCHEMA)
    if refusals and on_refused is None:
        raise ImportRefused(refusals, result)
    return result
