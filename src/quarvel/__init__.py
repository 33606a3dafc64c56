"""quarvel: a tick-by-tick backtesting simulator for Taiwan stocks and futures."""

__version__ = "0.1.0"
