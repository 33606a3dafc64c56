"""Where the real tick files shared by the team live: read in place, never copied.

QUARVEL_TICK_DATA overrides the folder; otherwise it is ../shared/data/ticks beside the
checkout. Tests that need it skip when it is absent.
"""

import os
from pathlib import Path

_DEFAULT = Path(__file__).resolve().parents[3] / "shared" / "data" / "ticks"
SHARED_TICKS = Path(os.environ.get("QUARVEL_TICK_DATA") or _DEFAULT)
HAVE_SHARED_TICKS = SHARED_TICKS.is_dir()
# The exchange's public file the TXFR1 2025-01-08 cache file was made from.
SHARED_TAIFEX = SHARED_TICKS.parent / "taifex" / "Daily_2025_01_08.zip"
