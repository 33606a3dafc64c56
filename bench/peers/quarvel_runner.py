"""The crossover in quarvel, in one of three styles; prints one JSON line.

    python bench/peers/quarvel_runner.py template|on_bar|empty [--ticks-dir DIR]

template: the style of the shipped example, one bar read per new minute (only the last 31
          closes): `context.bars(code, "m", 1, 31)` where the driver has it, else
          `get_kbar(code, "m", 1)` and the tail of its `Close`.
on_bar:   the driver's bar events (`bars = [(code, "m", 1)]` and `on_bar`) where it has them,
          else bars kept in the strategy's own Python on quarvel's minute grid.
empty:    an empty `on_tick`, the engine's floor.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from collections import deque
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from crossover import CODE, SLOW, Crossover, Timer, report, tick_files, ticks_dir  # noqa: E402
from minute_grid import NS_PER_S, MinuteGrid, adjust_tick_ns  # noqa: E402

TAIPEI_OFFSET_MIN = 8 * 60  # the files' wall clock is UTC+8 all year


class _Trader:
    """Flips one contract to the rule's target with a marketable IOC order."""

    def on_start(self, context) -> None:
        self.rule = Crossover()
        self.held = 0

    def trade(self, context, target: int, price: float) -> None:
        if target == self.held:
            return
        action = "Buy" if target > self.held else "Sell"
        limit = price * (1.01 if action == "Buy" else 0.99)
        quantity = abs(target - self.held)
        context.matcher.add_order(CODE, "Future", action, limit, quantity, "LMT", "IOC")
        self.held = target


class TemplateStyle(_Trader):
    path = "get_kbar tail 31"

    def on_start(self, context) -> None:
        super().on_start(context)
        self.last_minute = None
        if hasattr(context, "bars"):
            TemplateStyle.path = "context.bars n=31"

    def on_tick(self, context, tick) -> None:
        minute = int(tick["timestamp"] // 60)
        if minute == self.last_minute:
            return  # the averages change only when a bar closes
        self.last_minute = minute
        if hasattr(context, "bars"):
            closes = _closes(context.bars(CODE, "m", 1, SLOW + 1))
        else:
            bars = context.quote_manager.get_kbar(CODE, unit="m", freq=1)
            closes = bars["Close"].tail(SLOW + 1).to_list()
        if len(closes) <= SLOW:
            return
        # the last bar is still forming
        self.trade(context, self.rule.evaluate(closes[:-1]), tick["close"])


def _closes(bars) -> list[float]:
    """`Close` of whatever `context.bars` returns (a mapping of columns or a record of arrays)."""
    if hasattr(bars, "Close"):
        return list(bars.Close)
    return list(bars["Close"])


class OnBarStyle(_Trader):
    """Bar events from the driver: the closes kept in a short deque."""

    path = "on_bar events"
    bars = [(CODE, "m", 1)]

    def on_start(self, context) -> None:
        super().on_start(context)
        self.closes: deque = deque(maxlen=SLOW)
        self.seen = 0

    def on_bar(self, context, code, bar) -> None:
        self.seen += 1
        self.closes.append(bar.Close)
        target = self.rule.evaluate(list(self.closes))
        tick = context.tick
        self.trade(context, target, tick["close"] if tick else bar.Close)


class OwnBarsStyle(_Trader):
    """No bar events in this driver: one-minute closes kept in the strategy's own Python."""

    path = "own bars in on_tick (no on_bar in this driver)"

    def on_start(self, context) -> None:
        super().on_start(context)
        self.grid = MinuteGrid()
        self.closes: deque = deque(maxlen=SLOW)
        self.minute = None
        self.price = 0.0

    def on_tick(self, context, tick) -> None:
        minute = int(tick["timestamp"] // 60) + TAIPEI_OFFSET_MIN
        if minute != self.minute:
            self._new_minute(context, tick, minute)
        self.price = tick["close"]

    def _new_minute(self, context, tick, minute: int) -> None:
        # a tick in a closed window belongs to the minute before it, as in the quote store
        wall_ns = round(tick["timestamp"] * NS_PER_S) + TAIPEI_OFFSET_MIN * 60 * NS_PER_S
        minute = adjust_tick_ns(wall_ns) // (60 * NS_PER_S)
        if minute == self.minute:
            return
        if self.minute is not None:
            self.closes.append(self.price)
            flat = len(self.grid.missing(self.minute, minute))
            self.closes.extend([self.price] * min(SLOW, flat))
            self.trade(context, self.rule.evaluate(list(self.closes)), tick["close"])
        self.minute = minute


class Empty:
    path = "empty on_tick"

    def on_tick(self, context, tick) -> None:
        pass


def _driver_has_bar_events() -> bool:
    from quarvel.backtest.context import BacktestContext

    return hasattr(BacktestContext, "subscribe_bars")


def _fill_tick_cache(folder: Path, days: list[str]) -> None:
    """Copy the days into the run's tick cache, so the timed run reads them as a rerun does."""
    from quarvel.modules.ticker.ticker import Ticker
    from quarvel.offline_api import OfflineAPI

    ticker = Ticker(OfflineAPI(tick_dir=str(folder)))
    for day in days:
        ticker.get_ticks_df(CODE, "Future", day, day)


def run(style: str, folder: Path) -> None:
    from quarvel import backtest
    from quarvel.backtest.market_time import use_timezone
    from quarvel.constant import BASIC_INFO

    use_timezone()  # the quote store's sessions and minutes are Taiwan time
    backtest.cli._silence_module_consoles()
    if style == "on_bar":
        strategy = OnBarStyle() if _driver_has_bar_events() else OwnBarsStyle()
    else:
        strategy = {"template": TemplateStyle, "empty": Empty}[style]()
    days = [Path(p).name.split(" ")[1] for p in tick_files(folder)]
    codes = backtest.parse_codes(f"{CODE}:Future")
    with tempfile.TemporaryDirectory(prefix="quarvel-peers-") as data_dir:
        BASIC_INFO.data_dir = data_dir
        _fill_tick_cache(folder, days)
        with Timer() as timer:
            result = backtest.run_backtest(strategy, codes, days[0], days[-1],
                                           ticks_dir=str(folder), write_reports=False,
                                           progress=False)
    if isinstance(strategy, OnBarStyle) and strategy.seen == 0:
        raise SystemExit("the driver has subscribe_bars but never called on_bar")
    rule = getattr(strategy, "rule", None)
    report(f"quarvel_{style}", strategy.path, result.ticks, timer,
           rule.signals if rule else None, deals=result.deals)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("style", choices=("template", "on_bar", "empty"))
    parser.add_argument("--ticks-dir", default=None)
    args = parser.parse_args()
    run(args.style, ticks_dir(args.ticks_dir))


if __name__ == "__main__":
    main()
