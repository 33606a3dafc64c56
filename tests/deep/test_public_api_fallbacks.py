"""The native modules take a few shortcuts through CPython's and polars' private API; each
has a public fallback that QUARVEL_PUBLIC_API=1 forces. The per-deal and per-tick tests of
the ledger, the matcher and the quote store must pass the same way on the fallbacks."""

import os
import subprocess
import sys
from pathlib import Path

RULE_TESTS = Path(__file__).resolve().parents[1] / "python"

# The tests that run through every shortcut: record copies (ledger, matcher), the code scan
# of the matcher (cached str hashes), presized tick rows, polars' native constructors and
# the ledger's look-up of its installed market rules and the replay step's check that a
# method is still the class's own (instance dicts read in place).
ON_FALLBACKS = ["test_ledger_book.py", "test_ledger_records.py", "test_matcher_matching.py",
                "test_quote_manager_kbar.py", "test_market_rules.py", "test_replay_step.py"]


def test_public_api_fallbacks_pass_the_same_tests():
    env = dict(os.environ, QUARVEL_PUBLIC_API="1", PYTHONUTF8="1")
    # The child runs from this folder: a relative PYTHONPATH (PYTHONPATH=src) must still hold.
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in paths)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *ON_FALLBACKS],
        cwd=RULE_TESTS, env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-2000:]
    assert " passed" in proc.stdout
