"""The Dask client a sweep runs on: the caller's, one at an address, or a local cluster."""

from __future__ import annotations

import contextlib
import logging
import os


def _dask():
    try:
        import distributed
    except ImportError:  # pragma: no cover - depends on the installed extras
        raise RuntimeError("sweeps need Dask distributed: pip install 'quarvel[sweep]'") from None
    return distributed

WAIT_FOR_WORKERS_S = 60


@contextlib.contextmanager
def open_client(client=None, scheduler: str | None = None, workers: int | None = None,
                tasks: int | None = None):
    """Yield a client; one this function made is closed afterwards (a given one is not).

    The local cluster has one single-threaded worker process per core: a backtest holds
    the process's data folder and time zone while it runs, so one run per process.
    """
    if client is not None:
        yield client
        return
    distributed = _dask()
    if scheduler:
        with distributed.Client(scheduler, timeout="20s") as made:
            try:
                made.wait_for_workers(1, timeout=WAIT_FOR_WORKERS_S)
            except TimeoutError:
                raise RuntimeError(f"the scheduler at {scheduler} has no workers "
                                   f"(waited {WAIT_FOR_WORKERS_S} s)") from None
            yield made
        return
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1")
    count = workers or max(1, min(os.cpu_count() or 1, tasks or 1))
    with distributed.LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0", worker_dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as made:
        yield made
