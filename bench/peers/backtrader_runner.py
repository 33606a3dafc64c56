"""The crossover in backtrader, each tick fed as a bar; one JSON line.

    python bench/peers/backtrader_runner.py [--ticks-dir DIR] [--limit N]

Ticks as bars is backtrader's fastest honest feeding: one bar per tick from preloaded lists
(datetime, price, size and the tick's minute on quarvel's grid), no resampling. The strategy
keeps the one-minute closes itself and evaluates the rule at the first tick of each new
minute, as quarvel's template does. `cerebro.run()` is timed, its preload of the lines included.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import backtrader as bt  # noqa: E402

from crossover import SLOW, Crossover, Timer, read_ticks, report, ticks_dir  # noqa: E402
from minute_grid import NS_PER_MIN, MinuteGrid, store_ticks  # noqa: E402

NS_PER_DAY = 86_400 * 1_000_000_000
EPOCH_ORDINAL = 719163.0  # backtrader's day number of 1970-01-01


class TickFeed(bt.feed.DataBase):
    """Ticks as bars from lists prepared before the run."""

    lines = ("minute",)
    params = (("rows", None),)

    def start(self) -> None:
        super().start()
        self._rows = iter(self.p.rows)

    def _load(self) -> bool:
        try:
            when, price, size, minute = next(self._rows)
        except StopIteration:
            return False
        lines = self.lines
        lines.datetime[0] = when
        lines.open[0] = lines.high[0] = lines.low[0] = lines.close[0] = price
        lines.volume[0] = size
        lines.minute[0] = minute
        return True


class CrossStrategy(bt.Strategy):
    def __init__(self) -> None:
        self.rule = Crossover()
        self.grid = MinuteGrid()
        self.closes: list[float] = []
        self.minute = None
        self.price = 0.0
        self.held = 0
        self.fills = 0

    def next(self) -> None:
        data = self.data
        minute = int(data.minute[0])
        if minute != self.minute:
            if self.minute is not None:
                flat = len(self.grid.missing(self.minute, minute))
                self.closes.append(self.price)
                self.closes.extend([self.price] * min(flat, SLOW))
                if len(self.closes) > 4 * SLOW:
                    del self.closes[:-SLOW]
                self._trade(self.rule.evaluate(self.closes))
            self.minute = minute
        self.price = data.close[0]

    def _trade(self, target: int) -> None:
        if target == self.held:
            return
        if target > self.held:
            self.buy(size=target - self.held)
        else:
            self.sell(size=self.held - target)
        self.held = target

    def notify_order(self, order) -> None:
        if order.status == order.Completed:
            self.fills += 1


def _rows(folder: Path, limit: int | None) -> list[tuple[float, float, int, int]]:
    rows = read_ticks(folder)[:limit]
    return [(EPOCH_ORDINAL + ts / NS_PER_DAY, price, size, ts // NS_PER_MIN)
            for ts, price, size in store_ticks(rows)]


def run(folder: Path, limit: int | None) -> None:
    rows = _rows(folder, limit)
    cerebro = bt.Cerebro(stdstats=False)
    cerebro.adddata(TickFeed(rows=rows))
    cerebro.addstrategy(CrossStrategy)
    cerebro.broker.setcash(1e12)
    with Timer() as timer:
        strategy = cerebro.run()[0]
    report("backtrader", "ticks as bars, minute closes kept by the strategy", len(rows), timer,
           strategy.rule.signals, fills=strategy.fills)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks-dir", default=None)
    parser.add_argument("--limit", type=int, default=None, help="only the first N ticks")
    args = parser.parse_args()
    run(ticks_dir(args.ticks_dir), args.limit)


if __name__ == "__main__":
    main()
