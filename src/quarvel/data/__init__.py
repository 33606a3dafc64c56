"""Tick data in: the trading calendar, one validation rule set for every cache file,
and importers of public data."""
