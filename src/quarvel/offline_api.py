"""Kept importable for scripts and tests: the broker stand-in lives in quarvel.data."""

from quarvel.data.offline_api import (BUY_SIDE, COLUMNS, DEFAULT_FUTURES, DEFAULT_STOCKS,
                                      FILE_SUFFIX, FLOAT_COLUMNS, NO_SIDE, SELL_SIDE,
                                      Contract, OfflineAPI, load_holidays, stock_tick_size)

__all__ = ["BUY_SIDE", "COLUMNS", "DEFAULT_FUTURES", "DEFAULT_STOCKS", "FILE_SUFFIX",
           "FLOAT_COLUMNS", "NO_SIDE", "SELL_SIDE", "Contract", "OfflineAPI", "load_holidays",
           "stock_tick_size"]
