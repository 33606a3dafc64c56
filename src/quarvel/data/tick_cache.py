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


def write_atomically(frame: pl.DataFrame, path: str) -> None:
    """Write `frame` as CSV to a temporary file beside `path`, then move it into place."""
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
        os.replace(handle.name, path)
    except BaseException:
        try:
            os.unlink(handle.name)
        except FileNotFoundError:
            pass
        raise
