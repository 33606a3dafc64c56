"""Run a whole backtest: replay ticks through the simulated exchange around a strategy.

A strategy is any object with ``on_tick(context, tick)``; it may also define
``on_report(context, report)`` (order and deal reports), ``on_start(context)`` and
``on_end(context)``. The context hands it the exchange, the ledger, the quote
manager and the tick source of the run.

Command line::

    python -m quarvel.backtest --demo
    python -m quarvel.backtest --strategy my_strategy.py:MyStrategy \
        --codes 2330:Stock,TXFR1:Future --start 2024-01-02 --end 2024-01-05
"""

from __future__ import annotations

import argparse
import datetime as dt
import glob
import importlib.util
import logging
import os
import queue
import sys
import time
from dataclasses import dataclass, field
from typing import Any

from quarvel.constant import BASIC_INFO, FLAG
from quarvel.utils import console


@dataclass
class BacktestContext:
    """What a strategy sees: the four objects of the run and a few counters."""

    matcher: Any
    positions: Any
    quote_manager: Any
    ticker: Any
    tick: dict | None = None
    backfilling_done: bool = False
    ticks: int = 0
    orders: int = 0
    deals: int = 0
    state: dict = field(default_factory=dict)


@dataclass
class BacktestResult:
    ticks: int
    orders: int
    deals: int
    realised_profit: float
    initial_capital: float
    final_capital: float
    seconds: float
    trade_records_path: str | None = None
    reports: dict[str, dict[str, str | None]] = field(default_factory=dict)


class StrategyError(RuntimeError):
    """The strategy raised while handling a tick; the run was stopped."""


def parse_codes(text: str) -> list[dict[str, str]]:
    """"2330:Stock,TXFR1:Future" -> [{"code": "2330", "market": "Stock"}, ...]."""
    codes = []
    for part in filter(None, (p.strip() for p in text.split(","))):
        code, sep, market = part.partition(":")
        market = market or "Stock"
        if not code or market not in ("Stock", "Future"):
            raise ValueError(f"bad code entry {part!r}: use CODE:Stock or CODE:Future")
        codes.append({"code": code, "market": market})
    if not codes:
        raise ValueError("no codes given")
    return codes


def load_strategy(target_text: str):
    """Instantiate "path/to/file.py:ClassName" or "package.module:ClassName"."""
    target, sep, class_name = target_text.rpartition(":")
    if not sep or not target or not class_name:
        raise ValueError(f"--strategy expects FILE:CLASS, got {target_text!r}")
    if target.endswith(".py") or os.path.sep in target:
        module_spec = importlib.util.spec_from_file_location("_user_strategy", target)
        if module_spec is None or module_spec.loader is None:
            raise ValueError(f"cannot load strategy file {target!r}")
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
    else:
        module = importlib.import_module(target)
    return getattr(module, class_name)()


def _drain_reports(context: BacktestContext, strategy) -> None:
    response_queue = context.matcher.response_queue
    # Most ticks bring no report: peek at queue.Queue's deque before taking its lock.
    if not getattr(response_queue, "queue", True):
        return
    on_report = getattr(strategy, "on_report", None)
    while True:
        try:
            report = response_queue.get_nowait()
        except queue.Empty:
            return
        if "operation_type" in report:
            if str(report["operation_type"]) == "New":
                context.orders += 1
        elif "exchange_seqno" in report:
            context.deals += 1
        if on_report is not None:
            on_report(context, report)


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


def _describe_tick(tick: dict) -> str:
    when = dt.datetime.fromtimestamp(tick["timestamp"]).strftime("%Y-%m-%d %H:%M:%S.%f")
    return f"{tick['code']} {when} close={tick['close']} qty={tick['qty']}"


def _make_objects(api):
    from quarvel.modules.matcher.matcher import Matcher
    from quarvel.modules.positions.positions import Positions, QuoteManager
    from quarvel.modules.ticker.ticker import Ticker

    positions = Positions()
    return Matcher(positions), positions, QuoteManager(), Ticker(api)


def run_backtest(
    strategy,
    codes: list[dict[str, str]],
    start: str,
    end: str,
    *,
    api=None,
    ticks_dir: str | None = None,
    backfill_start: str | None = None,
    backfill_end: str | None = None,
    initial_capital: int | None = None,
    write_reports: bool = True,
    progress: bool = True,
) -> BacktestResult:
    """Replay `codes` from `start` to `end` (inclusive, "YYYY-MM-DD") through `strategy`."""
    if api is None:
        from quarvel.offline_api import OfflineAPI

        api = OfflineAPI(tick_dir=ticks_dir)
    matcher, positions, quote_manager, ticker = _make_objects(api)
    if initial_capital is not None:
        positions.set_initial_capital(initial_capital)
    context = BacktestContext(matcher, positions, quote_manager, ticker)
    started = time.perf_counter()

    if hasattr(strategy, "on_start"):
        strategy.on_start(context)
    ticker.send_ticks(codes, start, end, backfill_start, backfill_end)
    with _progress(progress) as bar:
        _replay(context, strategy, bar)
    if hasattr(strategy, "on_end"):
        strategy.on_end(context)
    _drain_reports(context, strategy)

    result = BacktestResult(
        ticks=context.ticks,
        orders=context.orders,
        deals=context.deals,
        realised_profit=positions._profit_report["profit"],
        initial_capital=positions.initial_capital,
        final_capital=positions.current_capital,
        seconds=time.perf_counter() - started,
    )
    if write_reports:
        _write_reports(result, positions, quote_manager, codes)
    return result


def _replay(context: BacktestContext, strategy, bar) -> None:
    """The main loop: one tick in flight; the next is released once the strategy is done."""
    matcher, quote_manager, ticker = context.matcher, context.quote_manager, context.ticker
    end_value = FLAG.exit_send_tick.value
    backfill_value = FLAG.finish_backfilling.value
    on_tick = strategy.on_tick
    while True:
        item = ticker.pop_tick()
        status = item.get("orva_status")
        if status is not None:
            if status == end_value:
                return
            if status == backfill_value:
                context.backfilling_done = True
            continue
        context.tick = item
        context.ticks += 1
        matcher.set_current_tick(item)
        quote_manager.add_tick(item)
        matcher.match_deal(item["code"], item["close"], item["qty"], item["timestamp"])
        try:
            # Reports of this tick's fills and of the orders placed at the last tick.
            _drain_reports(context, strategy)
            on_tick(context, item)
        except Exception as error:
            ticker.stop_send_ticks()
            raise StrategyError(
                f"策略在處理 Tick {_describe_tick(item)} 時發生錯誤: "
                f"{type(error).__name__}: {error}"
            ) from error
        bar.advance()
        ticker.allow_next_tick()


class _NoProgress:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def advance(self):
        pass


class _TickProgress:
    """A rich progress line with ticks per second, on the package console so that
    the modules' own console lines print above it instead of breaking it."""

    def __init__(self):
        from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

        self._progress = Progress(
            SpinnerColumn(),
            TextColumn("[bold]回測中[/bold] {task.completed:,} ticks"),
            TextColumn("{task.fields[rate]:,.0f} ticks/s"),
            TimeElapsedColumn(),
            console=getattr(console, "rich", None),
            transient=False,
        )
        self._task = None
        self._count = 0
        self._started = 0.0

    def __enter__(self):
        self._progress.__enter__()
        self._task = self._progress.add_task("replay", total=None, rate=0.0)
        self._started = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self._refresh()
        return self._progress.__exit__(*exc)

    def advance(self):
        self._count += 1
        if self._count % 1000 == 0:
            self._refresh()

    def _refresh(self):
        elapsed = max(time.perf_counter() - self._started, 1e-9)
        self._progress.update(self._task, completed=self._count, rate=self._count / elapsed)


def _progress(enabled: bool):
    return _TickProgress() if enabled else _NoProgress()


def _newest(pattern: str) -> str | None:
    paths = glob.glob(pattern)
    return max(paths, key=os.path.getmtime) if paths else None


def _write_reports(result: BacktestResult, positions, quote_manager, codes) -> None:
    data_dir = BASIC_INFO.data_dir
    positions.export_trade_records()
    result.trade_records_path = _newest(os.path.join(data_dir, "trade_records", "*_trade_records.csv"))
    for entry in codes:
        code = entry["code"]
        paths: dict[str, str | None] = {"standard": None, "advanced": None, "profit_csv": None}
        positions.generate_standard_report(code, quote_manager)
        paths["standard"] = os.path.join(data_dir, "report", f"{code}-report.html")
        if positions.get_profit_rows_by_code(code):
            try:
                positions.generate_qs_profit_report(code, quote_manager)
            except Exception as error:  # the report library needs a "0050" benchmark
                console.print(f"[red]{code} 進階損益報告失敗: {error}[/red]")
            folder = os.path.join(data_dir, "sino", "profit_report")
            html = os.path.join(folder, f"{code}-profit_report.html")
            csv = os.path.join(folder, f"{code}-profit_report.csv")
            paths["advanced"] = html if os.path.exists(html) else None
            paths["profit_csv"] = csv if os.path.exists(csv) else None
        result.reports[code] = paths


def print_summary(result: BacktestResult) -> None:
    from rich.table import Table

    table = Table(title="回測摘要", show_header=False)
    table.add_column("item", style="bold")
    table.add_column("value")
    rate = result.ticks / result.seconds if result.seconds else 0.0
    table.add_row("ticks replayed", f"{result.ticks:,} ({rate:,.0f} ticks/s)")
    table.add_row("orders", str(result.orders))
    table.add_row("deals", str(result.deals))
    table.add_row("realised profit", f"{result.realised_profit:,.2f}")
    table.add_row("initial capital", f"{result.initial_capital:,.2f}")
    table.add_row("final capital", f"{result.final_capital:,.2f}")
    table.add_row("trade records", str(result.trade_records_path))
    for code, paths in result.reports.items():
        for kind, path in paths.items():
            table.add_row(f"{code} {kind}", str(path))
    rich_console = getattr(console, "rich", None)
    if rich_console is not None:
        rich_console.print(table)
    else:
        console.print(table)


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
        "and write the trade records and HTML reports.",
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
                        help='serve ticks from a folder of "CODE YYYY-MM-DD - ticks.csv" files '
                        "instead of the synthetic market")
    parser.add_argument("--backfill-start", metavar="YYYY-MM-DD",
                        help="first day of a backfilling range replayed before the main range")
    parser.add_argument("--backfill-end", metavar="YYYY-MM-DD",
                        help="last day of the backfilling range")
    parser.add_argument("--capital", type=int, metavar="AMOUNT",
                        help="initial capital (default 100000)")
    parser.add_argument("--tz", default=MARKET_TIMEZONE, metavar="ZONE",
                        help="local time zone of the run (default Asia/Taipei, the market's own; "
                        "sessions, K-bars and report times are local times)")
    parser.add_argument("--quiet", action="store_true",
                        help="hide the per-order and per-deal console lines")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
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
    use_timezone(args.tz)
    # The report library asks for fonts this machine may not have; the fallback is fine.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    if args.data_dir:
        BASIC_INFO.data_dir = os.path.abspath(args.data_dir)
    if args.quiet:
        _silence_module_consoles()
    try:
        strategy = load_strategy(args.strategy)
        result = run_backtest(
            strategy, parse_codes(args.codes), args.start, args.end,
            ticks_dir=args.ticks_dir, backfill_start=args.backfill_start,
            backfill_end=args.backfill_end, initial_capital=args.capital,
            progress=not args.no_progress,
        )
    except StrategyError as error:
        console.print(f"[red]{error}[/red]")
        return 1
    print_summary(result)
    return 0


class _Silent:
    def print(self, *args, **kwargs):
        pass


def _silence_module_consoles() -> None:
    """Replace the console name of the native modules (their lines go nowhere)."""
    import importlib as _importlib

    for name in ("quarvel.modules.positions.positions", "quarvel.modules.matcher.matcher",
                 "quarvel.modules.ticker.ticker"):
        module = _importlib.import_module(name)
        module.console = _Silent()


if __name__ == "__main__":
    sys.exit(main())
