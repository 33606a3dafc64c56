"""The tick store's work per tick is bounded: an extreme timestamp or a silence of decades
is refused before a row is made, in a process whose memory is capped."""

import json
import subprocess
import sys

from matcher_support import package_root

CAP_MB = 4000  # address space; an unbounded fill from 1677 to 2024 needs about 18 GB

SCRIPT = r"""
import json, resource, sys
cap = int(sys.argv[1]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
from datetime import datetime
from quarvel.modules.positions.positions import QuoteManager

def tick(ts):
    return {"market_type": "Future", "timestamp": ts, "code": "TXF", "close": 17000.0,
            "qty": 1, "tick_type": 1, "is_simulate": False}

qm = QuoteManager()
errors = []
for ts in (-9223372036854775807, -9223372036854.775807):
    try:
        qm.add_tick(tick(ts))
    except ValueError as e:
        errors.append(str(e))
qm.add_tick(tick(datetime(1971, 1, 4, 9, 0).timestamp()))
try:
    qm.add_tick(tick(datetime(2024, 3, 4, 9, 0).timestamp()))
except ValueError as e:
    errors.append(str(e))
bars = qm.get_kbar("TXF", unit="m", freq=1).height
rows = qm.poped_old_ticks_to_df("TXF").height
print(json.dumps({"errors": errors, "rows": rows, "bars": bars,
                  "max_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024}))
"""


def test_extreme_times_are_refused_under_a_memory_cap():
    done = subprocess.run([sys.executable, "-c", SCRIPT, str(CAP_MB)], capture_output=True,
                          text=True, timeout=120, env={"PYTHONPATH": package_root(),
                                                       "PYTHONUTF8": "1", "TZ": "Asia/Taipei",
                                                       "POLARS_MAX_THREADS": "2"})
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.strip().splitlines()[-1])
    assert out["errors"] == [
        "不合理的成交時間: -9.223372036854776e+18",
        "不合理的成交時間: -9223372036854.775",
        "補齊的時間區間過長: 1971-01-04 09:00:00.000000 至 2024-03-04 09:00:00.000000"]
    assert (out["rows"], out["bars"]) == (1, 1)
    # importing the package (polars, pandas, the report library) takes most of this
    assert out["max_rss_mb"] < 1500
