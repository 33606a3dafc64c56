"""Whole backtests of the demo strategy: synthetic ticks, and the real TXFR1 days if present.

Prints JSON lines: ticks, seconds and ticks per second of the replay (reports not written;
the modules' console lines go to run.log only, as in every default run).
"""

from __future__ import annotations

import datetime as dt
import json
import os
import sys
import tempfile
import time
from pathlib import Path

from quarvel import backtest
from quarvel.backtest.market_time import use_timezone
from quarvel.constant import BASIC_INFO
from quarvel.examples.ma_cross import MovingAverageCross

SHARED_TICKS = Path(__file__).resolve().parents[2] / "shared" / "data" / "ticks"
TARGET_TICKS = int(os.environ.get("QUARVEL_BENCH_TICKS", "1000000"))
SYNTHETIC_CODES = "2330:Stock,0050:Stock,TXFR1:Future,MXFR1:Future"


def replay(label, codes, start, end, **kwargs):
    started = time.perf_counter()
    result = backtest.run_backtest(MovingAverageCross(), backtest.parse_codes(codes), start, end,
                                   write_reports=False, progress=False, **kwargs)
    seconds = time.perf_counter() - started
    print(json.dumps({"figure": f"backtest_{label}", "ticks": result.ticks,
                      "seconds": round(seconds, 3), "ticks_per_s": round(result.ticks / seconds),
                      "deals": result.deals}), flush=True)
    return result.ticks


def synthetic_end_for(target: int) -> str:
    """Last day of a range from 2024-01-02 that holds about `target` synthetic ticks."""
    from quarvel.offline_api import OfflineAPI
    from quarvel.modules.ticker.ticker import Ticker

    ticker = Ticker(OfflineAPI())
    codes = backtest.parse_codes(SYNTHETIC_CODES)
    day = dt.date(2024, 1, 2)
    total = 0
    while total < target and day < dt.date(2026, 1, 1):
        text = day.isoformat()
        total += sum(ticker.get_ticks_df(c["code"], c["market"], text, text).height for c in codes)
        day += dt.timedelta(days=1)
    return (day - dt.timedelta(days=1)).isoformat()


def main() -> int:
    use_timezone()  # sessions and K-bar minutes are Taiwan time, as in the command line
    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="quarvel-bench-")
    end = synthetic_end_for(TARGET_TICKS)
    # Fill the synthetic tick cache first, so that the replay is measured alone.
    backtest.prepare_code_days(backtest.parse_codes(SYNTHETIC_CODES), "2024-01-02", end,
                               synthetic=True)
    replay("synthetic", SYNTHETIC_CODES, "2024-01-02", end)
    if SHARED_TICKS.is_dir():
        # Five scattered days: the days between them are missing, on purpose.
        replay("real_txfr1_5days", "TXFR1:Future", "2024-12-16", "2025-02-03",
               ticks_dir=str(SHARED_TICKS), strict=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
