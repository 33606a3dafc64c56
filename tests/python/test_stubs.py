"""The checked-in .pyi stubs are nanobind's stubgen output from the bindings' nb::sig
strings; a signature changed in C++ without regenerating them fails here."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_stubs_match_the_bindings():
    env = dict(os.environ, PYTHONUTF8="1")
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in paths)
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_stubs.py"), "--check"],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
