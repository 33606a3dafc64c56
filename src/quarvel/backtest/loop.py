"""The replay loop: ticks through the simulated exchange around a strategy."""

from __future__ import annotations

import contextlib
import datetime as dt
import gc
import glob
import os
import queue
import shutil
import sys
import tempfile
import time
import traceback
from collections.abc import Iterator

from quarvel.backtest import runs
from quarvel.backtest.bar_events import bar_events
from quarvel.backtest.console_routing import library_output_to_log, routed_consoles
from quarvel.backtest.context import BacktestContext
from quarvel.backtest.frames import attach_results
from quarvel.backtest.market_time import MARKET_TIMEZONE, timezone_for_run
from quarvel.backtest.outputs import finish_outputs
from quarvel.backtest.progress import make_progress
from quarvel.backtest.result import BacktestIncomplete, BacktestResult
from quarvel.constant import BASIC_INFO, FLAG
from quarvel.cost_breakdown import run_cost_rows
from quarvel.data import problems as kinds
from quarvel.data.checked_ticker import CheckedTicker
from quarvel.data.problems import ProblemLog
from quarvel.rules import make_rules
from quarvel.utils import console


class StrategyError(RuntimeError):
    """The strategy raised while handling a tick; the run was stopped.

    `strategy_traceback` is the strategy's own part of the traceback (its files and lines).
    """

    strategy_traceback: str = ""


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


@contextlib.contextmanager
def _collector_spared() -> Iterator[None]:
    """The objects that exist when the replay starts are left out of the garbage
    collector's full passes until it ends. A notebook or sweep worker holds many (earlier
    results, imported libraries); one full pass over them in the middle of a replay costs
    about a tenth of a five-day run (bench_replay repeated_runs)."""
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def _describe_tick(tick: dict) -> str:
    when = dt.datetime.fromtimestamp(tick["timestamp"]).strftime("%Y-%m-%d %H:%M:%S.%f")
    return f"{tick['code']} {when} close={tick['close']} qty={tick['qty']}"


def _make_objects(ticker):
    """The exchange, the ledger and the quote manager of a run around its tick source."""
    from quarvel.modules.matcher.matcher import Matcher
    from quarvel.modules.positions.positions import Positions, QuoteManager

    positions = Positions()
    return Matcher(positions), positions, QuoteManager(), ticker


def check_inputs(codes, start: str, end: str, backfill_start: str | None,
                 backfill_end: str | None, initial_capital) -> None:
    """RunInputError for a request that cannot be run as asked."""
    runs.check_codes(codes)
    runs.check_range(start, end)
    if backfill_start or backfill_end:
        if not (backfill_start and backfill_end):
            raise runs.RunInputError("a backfilling range needs both a start and an end")
        runs.check_range(backfill_start, backfill_end, "backfilling ")
    if initial_capital is not None and (isinstance(initial_capital, bool)
                                        or not isinstance(initial_capital, (int, float))
                                        or not initial_capital > 0):
        raise runs.RunInputError(f"the initial capital must be a number > 0, "
                                 f"not {initial_capital!r}")


def run_backtest(
    strategy,
    codes: list[dict[str, str]],
    start: str,
    end: str,
    *,
    api=None,
    ticks_dir: str | None = None,
    synthetic: bool | None = None,
    backfill_start: str | None = None,
    backfill_end: str | None = None,
    initial_capital: int | None = None,
    write_reports: bool = True,
    progress: bool = True,
    strict: bool = True,
    tz: str | None = MARKET_TIMEZONE,
    verbose: bool = False,
    rules=None,
) -> BacktestResult:
    """Replay `codes` from `start` to `end` (inclusive, "YYYY-MM-DD") through `strategy`.

    Ticks come from `api` (a logged-in broker session) through the shared tick cache; else
    from the `ticks_dir` folder of cache-format files; else from the synthetic market when
    `synthetic` is true, or is None and neither is given; else from the cache alone.
    Every trading day of every code is expected. A run that misses any of them, fails to
    write an output or replays no tick is incomplete: with `strict` it raises
    `BacktestIncomplete` (the result is on the exception), otherwise the result lists its
    `problems`. `tz` is the local zone during the run (None: leave it), restored after.
    The modules' per-order and per-deal lines go to the run folder's run.log; `verbose`
    also prints them.
    Bad inputs raise `RunInputError` (a ValueError) before anything runs.
    `rules`: "default" (the default) or "taiwan", or a rules object of `quarvel.rules`.
    """
    check_inputs(codes, start, end, backfill_start, backfill_end, initial_capital)
    source, cache_dir, label = runs.open_source(api, ticks_dir, synthetic)
    run_dir = runs.make_run_dir(type(strategy).__name__) if write_reports else None
    with timezone_for_run(tz), routed_consoles(run_dir, verbose) as log_path:
        result = _run(strategy, codes, start, end, source, cache_dir, backfill_start,
                      backfill_end, initial_capital, run_dir, progress, rules)
    result.log_path = log_path
    result.source = label
    if strict and not result.complete:
        raise BacktestIncomplete(result)
    return result


def _run(strategy, codes, start, end, source, cache_dir, backfill_start, backfill_end,
         initial_capital, run_dir, progress, rules) -> BacktestResult:
    log = ProblemLog()
    matcher, positions, quote_manager, ticker = _make_objects(
        CheckedTicker(source, cache_dir=cache_dir, log=log))
    if initial_capital is not None:
        positions.set_initial_capital(initial_capital)
    positions.apply_rules(make_rules(rules))
    context = BacktestContext(matcher, positions, quote_manager, ticker)
    expected = runs.expected_code_days(codes, start, end)
    if backfill_start:
        expected += runs.expected_code_days(codes, backfill_start, backfill_end)
    started = time.perf_counter()

    if hasattr(strategy, "on_start"):
        strategy.on_start(context)
    ended = False
    try:
        ticker.send_ticks(codes, start, end, backfill_start, backfill_end)
        with make_progress(progress, lambda: context.tick) as bar, _collector_spared():
            _replay(context, strategy, bar)
        ended = True
    finally:
        if not ended:  # Ctrl-C or an error: no playback thread keeps waiting with the table
            ticker.stop_send_ticks()
        # A playback thread still finishing when the interpreter exits can abort the process.
        ticker.join_threads()
    if hasattr(strategy, "on_end"):
        strategy.on_end(context)
    _drain_reports(context, strategy)
    runs.account_for(log, expected, context.ticks)

    result = BacktestResult(
        ticks=context.ticks,
        orders=context.orders,
        deals=context.deals,
        realised_profit=positions._profit_report["profit"],
        initial_capital=positions.initial_capital,
        final_capital=positions.current_capital,
        seconds=time.perf_counter() - started,
        problems=log.problems,
        warnings=log.warnings,
    )
    attach_results(result, context, start, end)
    result.cost_rows = run_cost_rows(positions)
    if run_dir is not None:
        result.output_dir = run_dir
        _write_reports(result, positions, quote_manager, codes)
        finish_outputs(result, quote_manager, run_dir)
    return result


def _replay(context: BacktestContext, strategy, bar) -> None:
    """The main loop: one tick in flight; the next is released once the strategy is done."""
    from quarvel.modules.ticker.ticker import ReplayStep

    matcher, quote_manager, ticker = context.matcher, context.quote_manager, context.ticker
    end_value = FLAG.exit_send_tick.value
    backfill_value = FLAG.finish_backfilling.value
    feed, on_bar = bar_events(context, strategy) or (None, None)
    on_tick = getattr(strategy, "on_tick", None)
    if on_tick is None and feed is None:
        on_tick = strategy.on_tick  # neither handler: the AttributeError says what is missing
    # One native call per tick: releases the last tick, takes the next, runs the exchange's
    # and the quote store's per-tick calls on it and polls the followed bars.
    step = ReplayStep(ticker, matcher, quote_manager, feed)
    advance = bar.advance if getattr(bar, "shows", True) else None
    # Most ticks bring no report: a queue.Queue's deque is peeked at before taking its lock.
    responses = getattr(matcher.response_queue, "queue", None)
    closed = None
    while True:
        item = step()
        if feed is not None:  # (tick, bars that closed), or the item alone
            if item.__class__ is tuple:
                item, closed = item
            else:
                closed = None
        if "orva_status" in item:
            status = item["orva_status"]
            if status == end_value:
                return
            if status == backfill_value:
                context.backfilling_done = True
            continue
        context.tick = item
        context.ticks += 1
        try:
            # Reports of this tick's fills and of the orders placed at the last tick.
            if responses is None or responses:
                _drain_reports(context, strategy)
            if closed is not None:
                for code, closed_bar in closed:
                    on_bar(context, code, closed_bar)
            if on_tick is not None:
                on_tick(context, item)
        except Exception as error:
            ticker.stop_send_ticks()
            failure = StrategyError(
                f"策略在處理 Tick {_describe_tick(item)} 時發生錯誤: "
                f"{type(error).__name__}: {error}"
            )
            # The strategy's frames only: this loop's own frame is not the user's business.
            failure.strategy_traceback = "".join(traceback.format_exception(
                type(error), error, error.__traceback__.tb_next))
            raise failure from error
        if advance is not None:
            advance()


def _move_out(staging: str, pattern: str, run_dir: str) -> str | None:
    """The newest file matching `pattern` in the staging folder, renamed into the run folder."""
    paths = glob.glob(os.path.join(staging, pattern))
    if not paths:
        return None
    source = max(paths, key=os.path.getmtime)
    target = os.path.join(run_dir, os.path.basename(source))
    os.replace(source, target)
    return target


def _whole_html(path: str) -> bool:
    with open(path, "rb") as handle:
        handle.seek(0, 2)
        handle.seek(max(handle.tell() - 4096, 0))
        return b"</html>" in handle.read().lower()


class _Relocating:
    """Console and stdout of the report writers, naming each file where it ends up rather
    than in the staging folder it is written to first."""

    def __init__(self, target, staging: str, run_dir: str) -> None:
        self._target = target
        self._moves = [(os.path.join(staging, *sub) + os.sep, run_dir + os.sep)
                       for sub in (("trade_records",), ("report",), ("sino", "profit_report"))]
        self._moves.append((staging, run_dir))

    def fix(self, text):
        if isinstance(text, str):
            for old, new in self._moves:
                text = text.replace(old, new)
        return text

    def print(self, text="", *args, **kwargs):
        self._target.print(self.fix(text), *args, **kwargs)

    def write(self, text: str) -> int:
        return self._target.write(self.fix(text))

    def flush(self) -> None:
        self._target.flush()


def _write_reports(result: BacktestResult, positions, quote_manager, codes) -> None:
    """Trade records and reports of the run into its own folder.

    The modules write under BASIC_INFO.data_dir; it points at a staging folder inside the
    run folder while they do, and each finished file is renamed into the run folder, so a
    file there is always whole (the performance report's HTML included).
    """
    run_dir = result.output_dir
    saved = BASIC_INFO.data_dir
    staging = tempfile.mkdtemp(prefix=".staging-", dir=run_dir)
    module = sys.modules["quarvel.modules.positions.positions"]
    module_console = module.console
    relocating = _Relocating(module_console, staging, run_dir)

    def failed(code: str, what: str, error: BaseException | str) -> None:
        text = error if isinstance(error, str) else f"{type(error).__name__}: {error}"
        result.problems.append(kinds.Problem(code, "", kinds.OUTPUT,
                                             relocating.fix(f"{what}: {text}")))

    BASIC_INFO.data_dir = staging
    module.console = relocating
    try:
        with contextlib.redirect_stdout(_Relocating(sys.stdout, staging, run_dir)):
            _write_files(result, positions, quote_manager, codes, staging, failed)
    finally:
        module.console = module_console
        BASIC_INFO.data_dir = saved
        shutil.rmtree(staging, ignore_errors=True)


def _write_files(result, positions, quote_manager, codes, staging, failed) -> None:
    run_dir = result.output_dir
    try:
        positions.export_trade_records()
        result.trade_records_path = _move_out(
            staging, os.path.join("trade_records", "*_trade_records.csv"), run_dir)
    except Exception as error:
        failed("", "trade records not written", error)
    for entry in codes:
        code = entry["code"]
        paths: dict[str, str | None] = {"standard": None, "advanced": None, "profit_csv": None}
        result.reports[code] = paths
        try:
            positions.generate_standard_report(code, quote_manager)
            paths["standard"] = _move_out(staging, os.path.join("report", f"{code}-report.html"),
                                          run_dir)
        except Exception as error:
            failed(code, "standard report not written", error)
        if not positions.get_profit_rows_by_code(code):
            continue
        try:
            with library_output_to_log():
                positions.generate_qs_profit_report(code, quote_manager)
        except Exception as error:
            if any(e["code"] == "0050" for e in codes):
                failed(code, "performance report not written", error)
            else:  # the report needs the "0050" benchmark among the codes
                result.warnings.append(f"{code} performance report skipped: {error}")
                console.print(f"[red]{code} 進階損益報告失敗: {error}[/red]")
            continue
        folder = os.path.join("sino", "profit_report")
        html = os.path.join(staging, folder, f"{code}-profit_report.html")
        if os.path.exists(html) and not _whole_html(html):
            failed(code, "performance report not written", "its HTML is cut short")
            continue
        try:
            for kind, suffix in (("advanced", "html"), ("profit_csv", "csv")):
                paths[kind] = _move_out(
                    staging, os.path.join(folder, f"{code}-profit_report.{suffix}"), run_dir)
        except OSError as error:
            failed(code, "performance report not written", error)
