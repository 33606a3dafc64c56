"""The replay loop: ticks through the simulated exchange around a strategy."""

from __future__ import annotations

import datetime as dt
import glob
import os
import queue
import time

from quarvel.backtest.console_routing import library_output_to_log, routed_consoles
from quarvel.backtest.context import BacktestContext
from quarvel.backtest.frames import attach_results
from quarvel.backtest.outputs import finish_outputs
from quarvel.backtest.progress import make_progress
from quarvel.backtest.result import BacktestResult
from quarvel.constant import BASIC_INFO, FLAG
from quarvel.cost_breakdown import run_cost_rows
from quarvel.rules import make_rules
from quarvel.utils import console


class StrategyError(RuntimeError):
    """The strategy raised while handling a tick; the run was stopped."""


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
    verbose: bool = False,
    rules=None,
) -> BacktestResult:
    """Replay `codes` from `start` to `end` (inclusive, "YYYY-MM-DD") through `strategy`.

    The modules' per-order and per-deal lines go to run.log; `verbose` also prints them.
    `rules`: "spec" (default) or "taiwan", or a rules object of `quarvel.rules`.
    """
    with routed_consoles(BASIC_INFO.data_dir, verbose) as log_path:
        result = _run(strategy, codes, start, end, api, ticks_dir, backfill_start,
                      backfill_end, initial_capital, write_reports, progress, rules)
    result.log_path = log_path
    return result


def _run(strategy, codes, start, end, api, ticks_dir, backfill_start, backfill_end,
         initial_capital, write_reports, progress, rules) -> BacktestResult:
    if api is None:
        from quarvel.offline_api import OfflineAPI

        api = OfflineAPI(tick_dir=ticks_dir)
    matcher, positions, quote_manager, ticker = _make_objects(api)
    if initial_capital is not None:
        positions.set_initial_capital(initial_capital)
    positions.apply_rules(make_rules(rules))
    context = BacktestContext(matcher, positions, quote_manager, ticker)
    started = time.perf_counter()

    if hasattr(strategy, "on_start"):
        strategy.on_start(context)
    ticker.send_ticks(codes, start, end, backfill_start, backfill_end)
    with make_progress(progress, lambda: context.tick) as bar:
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
    attach_results(result, context, start, end)
    result.cost_rows = run_cost_rows(positions)
    if write_reports:
        _write_reports(result, positions, quote_manager, codes)
        finish_outputs(result, quote_manager, BASIC_INFO.data_dir)
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
                with library_output_to_log():
                    positions.generate_qs_profit_report(code, quote_manager)
            except Exception as error:  # the report library needs a "0050" benchmark
                console.print(f"[red]{code} 進階損益報告失敗: {error}[/red]")
            folder = os.path.join(data_dir, "sino", "profit_report")
            html = os.path.join(folder, f"{code}-profit_report.html")
            csv = os.path.join(folder, f"{code}-profit_report.csv")
            paths["advanced"] = html if os.path.exists(html) else None
            paths["profit_csv"] = csv if os.path.exists(csv) else None
        result.reports[code] = paths


