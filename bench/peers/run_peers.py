"""The same moving-average crossover in quarvel and its peers, rounds interleaved.

    PYTHONPATH=src python bench/peers/run_peers.py [--systems a,b] [--rounds 3] [--ticks-dir DIR]

Each system runs in a subprocess of its own (imports do not meet); each round runs every
chosen system once, in order. Prints one JSON line per system (median ticks/s of wall time,
min and max, ratio to nautilus_trader; the same from CPU time of all the process's threads,
which a loaded machine disturbs less; the signal counts seen) and a final summary line. The
progress of each round goes to stderr.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
BASELINE = "nautilus_trader"
SYSTEMS = {
    "quarvel_on_bar": ("quarvel", ["quarvel_runner.py", "on_bar"]),
    "quarvel_template": ("quarvel", ["quarvel_runner.py", "template"]),
    "quarvel_empty": ("quarvel", ["quarvel_runner.py", "empty"]),
    "nautilus_trader": ("peer", ["nautilus_runner.py"]),
    "backtrader": ("peer", ["backtrader_runner.py"]),
}


def _run_once(python: str, script: list[str], ticks_dir: str | None) -> dict:
    command = [python, str(HERE / script[0]), *script[1:]]
    if ticks_dir:
        command += ["--ticks-dir", ticks_dir]
    done = subprocess.run(command, capture_output=True, text=True)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        tail = (done.stderr or done.stdout).strip().splitlines()[-1:] or ["no output"]
        return {"error": f"exit {done.returncode}: {tail[0]}"}
    return json.loads(lines[-1])


def _summarise(name: str, good: list[dict]) -> dict:
    rates = [run["ticks_per_s"] for run in good]
    median = statistics.median(rates)
    cpu = statistics.median(run["cpu_ticks_per_s"] for run in good)
    return {
        "system": name, "path": good[-1]["path"], "ticks": good[-1]["ticks"], "rounds": len(rates),
        "median_ticks_per_s": round(median), "min_ticks_per_s": min(rates),
        "max_ticks_per_s": max(rates), "median_cpu_ticks_per_s": round(cpu),
        "signals": sorted({run["signals"] for run in good}, key=str),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--systems", default=",".join(SYSTEMS),
                        help=f"comma-separated, from {', '.join(SYSTEMS)}")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--ticks-dir", default=None,
                        help="a folder of TXFR1 tick files (default: $QUARVEL_PEERS_TICKS, "
                        "else the team data folder beside this checkout)")
    parser.add_argument("--quarvel-python", default=sys.executable,
                        help="interpreter that imports quarvel (default: this one)")
    parser.add_argument("--peer-python", default=sys.executable,
                        help="interpreter with bench/peers/requirements.txt (default: this one)")
    args = parser.parse_args()
    chosen = [name.strip() for name in args.systems.split(",") if name.strip()]
    unknown = [name for name in chosen if name not in SYSTEMS]
    if unknown or args.rounds < 1:
        parser.error(f"unknown systems {unknown}" if unknown else "--rounds must be at least 1")

    runs: dict[str, list[dict]] = {name: [] for name in chosen}
    for round_number in range(1, args.rounds + 1):
        for name in chosen:
            family, script = SYSTEMS[name]
            python = args.quarvel_python if family == "quarvel" else args.peer_python
            result = _run_once(python, script, args.ticks_dir)
            runs[name].append(result)
            print(json.dumps({"round": round_number, "system": name, **result}), file=sys.stderr,
                  flush=True)

    failed = {name: found[-1]["error"] for name, found in runs.items()
              if any("error" in run for run in found)}
    rows = {name: _summarise(name, found) for name, found in runs.items() if name not in failed}
    baseline = rows[BASELINE]["median_ticks_per_s"] if BASELINE in rows else None
    cpu_baseline = rows[BASELINE]["median_cpu_ticks_per_s"] if BASELINE in rows else None
    for name, row in rows.items():
        row["vs_nautilus_trader"] = (round(row["median_ticks_per_s"] / baseline, 2)
                                     if baseline else None)
        row["cpu_vs_nautilus_trader"] = (round(row["median_cpu_ticks_per_s"] / cpu_baseline, 2)
                                         if baseline else None)
        print(json.dumps(row), flush=True)
    for name, error in failed.items():
        print(json.dumps({"system": name, "error": error}), flush=True)
    counts = {name: row["signals"] for name, row in rows.items() if row["signals"] != [None]}
    print(json.dumps({
        "summary": "median ticks/s over interleaved rounds",
        "rounds": args.rounds,
        "ticks_per_s": {name: row["median_ticks_per_s"] for name, row in rows.items()},
        "vs_nautilus_trader": {name: row["vs_nautilus_trader"] for name, row in rows.items()},
        "cpu_vs_nautilus_trader": {name: row["cpu_vs_nautilus_trader"]
                                   for name, row in rows.items()},
        "signals": counts,
        "signals_agree": len({json.dumps(value) for value in counts.values()}) <= 1,
        "failed": sorted(failed),
    }), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
