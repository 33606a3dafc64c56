"""Write the .pyi stubs of the native modules with nanobind's stubgen, from the nb::sig
strings of the bindings plus tools/stub_patterns/<module>.txt (module docstring and the
instance attributes, which no signature carries).

    PYTHONPATH=src python tools/gen_stubs.py           # rewrite the checked-in stubs
    PYTHONPATH=src python tools/gen_stubs.py --check   # exit 1 and show the diff if they drifted
"""

from __future__ import annotations

import difflib
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PATTERNS = ROOT / "tools" / "stub_patterns"
MODULES = ["matcher", "positions", "ticker"]


def checked_in(module: str) -> Path:
    return ROOT / "src" / "quarvel" / "modules" / module / f"{module}.pyi"


def generate(module: str, out: Path) -> None:
    subprocess.run(
        [sys.executable, "-m", "nanobind.stubgen", "-q", "-P", "-m",
         f"quarvel.modules.{module}.{module}", "-p", str(PATTERNS / f"{module}.txt"),
         "-o", str(out)],
        check=True)


def main(argv: list[str]) -> int:
    check = "--check" in argv
    drifted = 0
    with tempfile.TemporaryDirectory() as tmp:
        for module in MODULES:
            fresh = Path(tmp) / f"{module}.pyi"
            generate(module, fresh)
            target = checked_in(module)
            new = fresh.read_text(encoding="utf-8")
            old = target.read_text(encoding="utf-8") if target.exists() else ""
            if new == old:
                continue
            if not check:
                target.write_text(new, encoding="utf-8")
                continue
            drifted += 1
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(keepends=True), new.splitlines(keepends=True),
                str(target), f"generated {module}.pyi"))
    if drifted:
        print(f"\n{drifted} stub(s) drifted from the bindings: run tools/gen_stubs.py",
              file=sys.stderr)
    return 1 if drifted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
