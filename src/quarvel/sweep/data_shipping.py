"""Tick cache files from the driver to every worker, through Dask itself.

The driver reads each prepared code-day file once and scatters its bytes to every
worker (broadcast), so a cluster without a shared file system works. A task names the
files of its window; the worker writes any it does not hold yet into its own cache
folder before the run, which then reads the cache and never needs the broker.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
import threading

from quarvel.backtest.outputs import write_atomically
from quarvel.sweep.engine import ticks_folder

# name -> digest of the files this worker process has written (or found identical).
_installed: dict[str, str] = {}
_install_lock = threading.Lock()


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def ship_files(client, paths) -> dict[str, tuple[str, object]]:
    """Scatter the files at `paths` to every worker: name -> (digest, future of bytes)."""
    names, blobs = [], []
    for path in sorted(set(paths)):
        with open(path, "rb") as handle:
            blobs.append(handle.read())
        names.append(os.path.basename(path))
    if not blobs:
        return {}
    # hash=True keys by content: one copy per distinct file, shared by every task.
    futures = client.scatter(blobs, broadcast=True, hash=True)
    return {name: (digest(blob), future) for name, blob, future in zip(names, blobs, futures)}


def worker_data_dir(dask_worker=None) -> str:
    """This worker's own data folder (inside its scratch space, gone with the worker).

    `dask_worker` is filled in by `Client.run`; inside a task the worker is looked up.
    """
    if dask_worker is None:
        try:
            from distributed import get_worker

            dask_worker = get_worker()
        except (ImportError, ValueError):  # run outside a worker (direct call, debugging)
            pass
    base = (dask_worker.local_directory if dask_worker is not None
            else os.path.join(tempfile.gettempdir(), f"quarvel-sweep-{os.getpid()}"))
    folder = os.path.join(base, "quarvel-data")
    os.makedirs(ticks_folder(folder), exist_ok=True)
    return folder


def _safe_name(name: str) -> str:
    if not name or name != os.path.basename(name) or name in (".", "..") or "\0" in name:
        raise ValueError(f"refusing shipped file name {name!r}")
    return name


def _same_content(path: str, want: str) -> bool:
    try:
        with open(path, "rb") as handle:
            return digest(handle.read()) == want
    except FileNotFoundError:
        return False


def install_files(files: dict[str, tuple[str, bytes]], data_dir: str) -> int:
    """Write the shipped files this worker lacks into its cache; returns how many were written."""
    folder = ticks_folder(data_dir)
    os.makedirs(folder, exist_ok=True)
    written = 0
    with _install_lock:
        for name, (want, data) in files.items():
            path = os.path.join(folder, _safe_name(name))
            if _installed.get(path) == want and os.path.exists(path):
                continue
            if digest(data) != want:
                raise ValueError(f"shipped file {name!r} arrived damaged")
            if not _same_content(path, want):
                write_atomically(path, data)
                written += 1
            _installed[path] = want
    return written
