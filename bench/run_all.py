"""Run every benchmark of the project and print one JSON line per figure.

    python bench/run_all.py            # all benchmarks
    python bench/run_all.py ledger     # only bench_ledger.py

Each bench_*.py script prints its figures; lines that are JSON objects are passed on
with the script's name added, other non-empty lines are wrapped as {"bench", "text"}.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run_one(script: Path) -> int:
    name = script.stem.removeprefix("bench_")
    started = time.perf_counter()
    env = dict(os.environ, PYTHONUTF8="1")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=env, cwd=str(HERE.parent))
    for line in proc.stdout.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            figure = json.loads(line)
        except ValueError:
            figure = None
        if isinstance(figure, dict):
            print(json.dumps({"bench": name, **figure}, ensure_ascii=False), flush=True)
        else:
            print(json.dumps({"bench": name, "text": line}, ensure_ascii=False), flush=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-5:]
        print(json.dumps({"bench": name, "error": proc.returncode, "stderr": tail},
                         ensure_ascii=False), flush=True)
    print(json.dumps({"bench": name, "wall_seconds": round(time.perf_counter() - started, 2)}),
          flush=True)
    return proc.returncode


def main(argv: list[str]) -> int:
    scripts = sorted(HERE.glob("bench_*.py"))
    if argv:
        scripts = [s for s in scripts if any(a in s.stem for a in argv)]
    failures = sum(run_one(script) != 0 for script in scripts)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
