"""The market's local time zone for a run."""

from __future__ import annotations

import contextlib
import os
import time


MARKET_TIMEZONE = "Asia/Taipei"


def use_timezone(name: str = MARKET_TIMEZONE) -> None:
    """Make `name` the process's local time zone.

    Tick times, trading sessions, K-bar buckets and report times are local date-times, so
    a backtest of Taiwan markets reads right only in Taiwan time. Without the zone data
    the fixed offset "CST-8" is used (Taiwan has kept UTC+8 without daylight saving).
    """
    if name == MARKET_TIMEZONE and not os.path.exists("/usr/share/zoneinfo/Asia/Taipei"):
        name = "CST-8"
    os.environ["TZ"] = name
    time.tzset()


@contextlib.contextmanager
def timezone_for_run(name: str | None):
    """`name` as the local zone inside the block, the caller's zone again afterwards
    (None: the zone is left alone)."""
    if name is None:
        yield
        return
    saved = os.environ.get("TZ")
    use_timezone(name)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved
        time.tzset()
