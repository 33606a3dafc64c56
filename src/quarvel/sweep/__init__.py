"""Parameter sweeps: one strategy over a grid of parameters and date windows, on Dask.

Every (parameter set, window) is one backtest in its own run folder on a Dask worker:
a local cluster by default, or any running cluster by address. The driver prepares the
tick cache once and ships the files to the workers, so they need no shared file system
and never call the broker. Needs the optional extra: pip install 'quarvel[sweep]'.

Python::

    from quarvel.sweep import run_sweep
    table = run_sweep("my_strategy.py:MyStrategy", "2330:Stock",
                      grid={"fast": [5, 10], "slow": [30, 60]},
                      windows=["2024-01-02:2024-01-03:in", "2024-01-04:2024-01-05:out"])

Command line::

    python -m quarvel.sweep --strategy my_strategy.py:MyStrategy --codes 2330:Stock \\
        --grid fast=5,10 --grid slow=30,60 --window 2024-01-02:2024-01-03
"""

from quarvel.sweep.engine import METRIC_KEYS
from quarvel.sweep.grid import Window, expand_grid, parse_grid_option, parse_window
from quarvel.sweep.runner import SweepOutcome, run_sweep, sweep

__all__ = ["METRIC_KEYS", "SweepOutcome", "Window", "expand_grid", "parse_grid_option",
           "parse_window", "run_sweep", "sweep"]
