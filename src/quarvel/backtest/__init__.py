"""Run a whole backtest: replay ticks through the simulated exchange around a strategy.

A strategy is any object with ``on_tick(context, tick)``; it may also define
``on_report(context, report)`` (order and deal reports), ``on_start(context)`` and
``on_end(context)``. The context hands it the exchange, the ledger, the quote
manager and the tick source of the run.

Command line::

    python -m quarvel.backtest --demo
    python -m quarvel.backtest --strategy my_strategy.py:MyStrategy \\
        --codes 2330:Stock,TXFR1:Future --start 2024-01-02 --end 2024-01-05
"""

from quarvel.backtest.cli import (DEMO_CAPITAL, DEMO_CODES, DEMO_END, DEMO_START,
                                  build_parser, days_in_folder, main)
from quarvel.backtest.context import BacktestContext
from quarvel.backtest.loop import StrategyError, run_backtest
from quarvel.backtest.market_time import MARKET_TIMEZONE, timezone_for_run, use_timezone
from quarvel.backtest.result import BacktestIncomplete, BacktestResult
from quarvel.backtest.runs import RunInputError, prepare_code_days, print_problems
from quarvel.backtest.strategy_loading import StrategyNotFound, load_strategy, parse_codes
from quarvel.backtest.summary import print_summary

__all__ = [
    "DEMO_CAPITAL", "DEMO_CODES", "DEMO_END", "DEMO_START", "MARKET_TIMEZONE",
    "BacktestContext", "BacktestIncomplete", "BacktestResult", "RunInputError",
    "StrategyError", "StrategyNotFound", "build_parser", "days_in_folder", "load_strategy",
    "main", "parse_codes", "prepare_code_days", "print_problems", "print_summary",
    "run_backtest", "timezone_for_run", "use_timezone",
]
