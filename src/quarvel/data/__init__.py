"""Tick data in: the trading calendar, one validation rule set for every cache file,
and importers of public data."""

from quarvel.data.taifex_import import ImportRefused, import_taifex

__all__ = ["ImportRefused", "import_taifex"]
