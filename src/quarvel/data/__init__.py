"""Tick data in: the trading calendar, one rule set for every day of ticks, the offline
broker stand-in and importers of public data."""

from quarvel.data.taifex_import import ImportRefused, import_taifex

__all__ = ["ImportRefused", "import_taifex"]
