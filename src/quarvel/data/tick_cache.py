"""Where cache tick files live, and how one is written: whole and atomically."""

from __future__ import annotations

import os
import tempfile

import polars as pl

from quarvel.constant import BASIC_INFO


def ticks_folder(data_dir: str | None = None) -> str:
    """The tick cache under `data_dir` (default: the data folder set at call time)."""
    return os.path.join(data_dir or BASIC_INFO.data_dir, "sino", "ticks")


def tick_file_name(code: str, day: str) -> str:
    return f"{code} {day} - ticks.csv"


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_beside(frame: pl.DataFrame, path: str) -> str:
    """Write `frame` as CSV to a new temporary file in `path`'s folder; its name is returned
    (the file is removed when writing fails)."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    handle = tempfile.NamedTemporaryFile(dir=folder, prefix=".", suffix=".tmp", delete=False)
    try:
        with handle:
            frame.write_csv(handle)
            handle.flush()
            os.fsync(handle.fileno())
        # mkstemp creates the file private to its owner; give it the usual mode instead.
        os.chmod(handle.name, 0o666 & ~_umask())
    except BaseException:
        remove_quietly(handle.name)
        raise
    return handle.name


def remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def write_atomically(frame: pl.DataFrame, path: str) -> None:
    """Write `frame` as CSV to a temporary file beside `path`, then move it into place."""
    temporary = write_beside(frame, path)
    try:
        os.replace(temporary, path)
    except BaseException:
        remove_quietly(temporary)
        raise
