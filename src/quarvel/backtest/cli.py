"""python -m quarvel.backtest: arguments, messages and exit codes."""

from __future__ import annotations

import argparse
import logging
import os
import traceback

from rich.markup import escape

from quarvel.backtest.loop import StrategyError, check_inputs, run_backtest
from quarvel.backtest.market_time import MARKET_TIMEZONE
from quarvel.backtest.runs import RunInputError, print_problems
from quarvel.backtest.strategy_loading import StrategyNotFound, load_strategy, parse_codes
from quarvel.backtest.summary import print_summary
from quarvel.constant import BASIC_INFO
from quarvel.utils import console


def days_in_folder(folder: str, codes: list[dict[str, str]]) -> tuple[str | None, str | None]:
    """First and last day of the tick files of `codes` in `folder` (None when there are none)."""
    suffix = " - ticks.csv"
    wanted = {entry["code"] for entry in codes}
    days = sorted(
        name[: -len(suffix)].rsplit(" ", 1)[1]
        for name in (os.listdir(folder) if os.path.isdir(folder) else [])
        if name.endswith(suffix) and name[: -len(suffix)].rsplit(" ", 1)[0] in wanted
    )
    return (days[0], days[-1]) if days else (None, None)


DEMO_CODES = "2330:Stock,0050:Stock,TXFR1:Future"
DEMO_START, DEMO_END = "2024-01-02", "2024-01-04"
# One lot of 2330 is worth about 600,000: the demo account can afford its positions.
DEMO_CAPITAL = 5_000_000


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quarvel.backtest",
        description="Replay historical ticks through the simulated exchange around a strategy "
        "and write the trade records and HTML reports into a folder of the run's own.",
        epilog="Exit status: 0 the run replayed every expected code-day and wrote its files; "
        "1 it is incomplete (each problem is listed) or the strategy failed; 2 a usage "
        "mistake; 130 interrupted.",
    )
    parser.add_argument("--demo", action="store_true",
                        help="run the example moving-average strategy on the built-in "
                        f"synthetic market ({DEMO_CODES}, {DEMO_START} to {DEMO_END}, "
                        f"capital {DEMO_CAPITAL:,}) unless other options are given")
    parser.add_argument("--strategy", metavar="FILE:CLASS",
                        help="strategy class to instantiate: a .py file or a module path, then a "
                        "colon and the class name")
    parser.add_argument("--codes", metavar="CODE:MARKET,...",
                        help='codes to replay with their market, e.g. "2330:Stock,TXFR1:Future"; '
                        'include "0050:Stock" for the advanced report\'s benchmark')
    parser.add_argument("--start", metavar="YYYY-MM-DD", help="first day of the replay")
    parser.add_argument("--end", metavar="YYYY-MM-DD", help="last day of the replay (inclusive)")
    parser.add_argument("--data-dir", metavar="DIR",
                        help="where the tick cache, trade records and reports are written "
                        "(default: ./data)")
    parser.add_argument("--ticks-dir", metavar="DIR",
                        help='read the days not yet cached from a folder of "CODE YYYY-MM-DD - '
                        'ticks.csv" files (without it, only the tick cache under the data '
                        "folder is read; a day found in neither is a problem)")
    parser.add_argument("--synthetic", action="store_true",
                        help="replay the built-in synthetic market (the default of --demo "
                        "without --ticks-dir)")
    parser.add_argument("--backfill-start", metavar="YYYY-MM-DD",
                        help="first day of a backfilling range replayed before the main range")
    parser.add_argument("--backfill-end", metavar="YYYY-MM-DD",
                        help="last day of the backfilling range")
    parser.add_argument("--capital", type=int, metavar="AMOUNT",
                        help="initial capital (default 100000; must be > 0)")
    parser.add_argument("--tz", default=MARKET_TIMEZONE, metavar="ZONE",
                        help="local time zone of the run (default Asia/Taipei, the market's own; "
                        "sessions, K-bars and report times are local times)")
    parser.add_argument("--rules", choices=("default", "taiwan"), default="default",
                        help="market rules: default (the fee settings of the account) or "
                        "taiwan (Taiwan commission, tax, tick sizes, futures margin)")
    parser.add_argument("--verbose", action="store_true",
                        help="also print the per-order and per-deal lines (always in run.log)")
    parser.add_argument("--quiet", action="store_true",
                        help="accepted for older scripts: quiet is the default")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.add_argument("--debug", action="store_true",
                        help="show the traceback of input mistakes and interruptions")
    return parser


EXIT_COMPLETE, EXIT_INCOMPLETE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


def main(argv: list[str] | None = None) -> int:
    """Exit 0 for a complete run, 1 for an incomplete or failed one, 2 for a usage
    mistake, 130 after Ctrl-C."""
    args = build_parser().parse_args(argv)
    try:
        return _main(args)
    except KeyboardInterrupt:
        if args.debug:
            traceback.print_exc()
        console.print("[red]interrupted (Ctrl-C): the replay was stopped[/red]")
        return EXIT_INTERRUPTED
    except (RunInputError, StrategyNotFound) as error:
        if args.debug:
            traceback.print_exc()
        console.print(f"[red]{escape(str(error))}[/red]")
        return EXIT_USAGE


def _main(args) -> int:
    if args.demo:
        args.strategy = args.strategy or "quarvel.examples.ma_cross:MovingAverageCross"
        args.codes = args.codes or DEMO_CODES
        if args.ticks_dir and not (args.start or args.end):
            args.start, args.end = days_in_folder(args.ticks_dir, parse_codes(args.codes))
        args.start = args.start or DEMO_START
        args.end = args.end or DEMO_END
        args.capital = args.capital or DEMO_CAPITAL
    missing = [name for name in ("strategy", "codes", "start", "end") if not getattr(args, name)]
    if missing:
        build_parser().error("missing " + ", ".join("--" + m for m in missing) + " (or use --demo)")
    try:
        codes = parse_codes(args.codes)
    except ValueError as error:
        raise RunInputError(str(error)) from error
    check_inputs(codes, args.start, args.end, args.backfill_start, args.backfill_end,
                 args.capital)
    if args.ticks_dir and not os.path.isdir(args.ticks_dir):
        raise RunInputError(f"--ticks-dir {args.ticks_dir} does not exist")
    if args.ticks_dir and args.synthetic:
        raise RunInputError("--ticks-dir and --synthetic exclude each other")
    # The report library asks for fonts this machine may not have; the fallback is fine.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    if args.data_dir:
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)
    # The demo without a folder, or --synthetic, replays the synthetic market; any other
    # run reads the folder given, or the tick cache alone.
    synthetic = bool(args.synthetic or (args.demo and not args.ticks_dir))
    strategy = load_strategy(args.strategy)
    try:
        result = run_backtest(
            strategy, codes, args.start, args.end,
            ticks_dir=args.ticks_dir, synthetic=synthetic, backfill_start=args.backfill_start,
            backfill_end=args.backfill_end, initial_capital=args.capital,
            progress=not args.no_progress, strict=False, tz=args.tz, verbose=args.verbose,
            rules=args.rules,
        )
    except StrategyError as error:
        if args.debug:
            traceback.print_exc()
        console.print(f"[red]{escape(str(error))}[/red]")
        console.print(escape(error.strategy_traceback.rstrip()), highlight=False)
        return EXIT_INCOMPLETE
    print_summary(result)
    print_problems(result)
    return EXIT_COMPLETE if result.complete else EXIT_INCOMPLETE
