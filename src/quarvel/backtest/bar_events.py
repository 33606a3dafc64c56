"""Bar events: `on_bar(context, code, bar)` once each time a followed K-bar closes.

A strategy names the bars it follows in a class attribute, `bars = [("TXFR1", "m", 1)]`, or
calls `context.subscribe_bars(code, unit, freq)` (in `on_start`, or later: events start with
the bars that close after the call). The quote store's rows are
followed natively (no table is built); boundaries and values are those `get_kbar` gives for
the same key. A bar closes when the first row of a later bucket is stored, so it reaches the
strategy at the tick that opens the next bar, before that tick's `on_tick`. The minutes the
store fills with virtual rows (no trade in that minute) close as flat bars of volume 0, as
they appear in `get_kbar`. The bar still forming when the run ends never closes.
"""

from __future__ import annotations

import datetime as dt
from typing import Any, Callable, NamedTuple


class Bar(NamedTuple):
    """One closed K-bar: bucket start (local time), prices and volume, and the series it
    belongs to (`unit`, `freq`), which tells apart two series of one code."""

    dt: dt.datetime
    Open: float
    High: float
    Low: float
    Close: float
    Volume: int
    unit: str
    freq: int


def make_feed(quote_manager: Any) -> Any:
    from quarvel.modules.positions.positions import BarFeed

    # Bar is a plain NamedTuple: the feed packs its fields without a Python call per bar.
    return BarFeed(quote_manager, Bar, packs_only=True)


def declared_bars(strategy: Any) -> list[tuple[str, str, int]]:
    """The strategy's `bars` attribute as (code, unit, freq) triples."""
    declared = getattr(strategy, "bars", None)
    if declared is None or callable(declared):
        return []
    out = []
    for entry in declared:
        if not (isinstance(entry, (tuple, list)) and len(entry) == 3):
            raise TypeError(f"strategy.bars: each entry is (code, unit, freq), got {entry!r}")
        out.append((entry[0], entry[1], entry[2]))
    return out


def bar_events(context: Any, strategy: Any) -> tuple[Any, Callable] | None:
    """(feed, on_bar) for the loop: the replay step polls `feed` after each stored tick and
    hands over the (code, bar) pairs that closed; None when the strategy has no `on_bar`.
    Bars subscribed later in the run (`context.subscribe_bars` in `on_tick`) are polled from
    then on."""
    on_bar = getattr(strategy, "on_bar", None)
    if on_bar is None:
        return None
    for code, unit, freq in declared_bars(strategy):
        context.subscribe_bars(code, unit, freq)
    return context._feed(), on_bar
