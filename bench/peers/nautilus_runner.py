"""The crossover in nautilus_trader: TradeTick data, internal one-minute bars; one JSON line.

    python bench/peers/nautilus_runner.py [--ticks-dir DIR]

Ticks are TradeTicks of a TXFR1 futures contract on a simulated venue, stamped with the
files' own nanoseconds (Taiwan wall clock read as UTC), after quarvel's closed-window
adjustment. The engine aggregates `TXFR1.TAIFEX-1-MINUTE-LAST-INTERNAL` bars (boundaries one
nanosecond before each whole minute; no bars for minutes without trades) and the strategy fills
quarvel's flat minutes itself. Only `engine.run()` is timed.
"""

from __future__ import annotations

import argparse
import sys
from decimal import Decimal
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from crossover import CODE, SLOW, Crossover, Timer, read_ticks, report, ticks_dir  # noqa: E402
from minute_grid import NS_PER_MIN, MinuteGrid, reference_closes, store_ticks  # noqa: E402

import pandas as pd  # noqa: E402
from nautilus_trader.backtest.engine import BacktestEngine  # noqa: E402
from nautilus_trader.config import (  # noqa: E402
    BacktestEngineConfig, DataEngineConfig, LoggingConfig, StrategyConfig)
from nautilus_trader.model.currencies import USD  # noqa: E402
from nautilus_trader.model.data import BarType, TradeTick  # noqa: E402
from nautilus_trader.model.enums import (  # noqa: E402
    AccountType, AggressorSide, AssetClass, BarAggregation, OmsType, OrderSide)
from nautilus_trader.model.identifiers import InstrumentId, Symbol, TradeId, Venue  # noqa: E402
from nautilus_trader.model.instruments import FuturesContract  # noqa: E402
from nautilus_trader.model.objects import Money, Price, Quantity  # noqa: E402
from nautilus_trader.trading.strategy import Strategy  # noqa: E402

INSTRUMENT_ID = InstrumentId.from_str(f"{CODE}.TAIFEX")
BAR_TYPE = f"{CODE}.TAIFEX-1-MINUTE-LAST-INTERNAL"
# The engine hands a tick stamped exactly on a boundary to the bar that closes there; minutes
# that close one nanosecond early give each whole-second tick to its own minute, as quarvel does.
ORIGIN = pd.Timedelta(NS_PER_MIN - 1, unit="ns")
AGGRESSOR = {1: AggressorSide.BUYER, 2: AggressorSide.SELLER}


class CrossConfig(StrategyConfig, frozen=True):
    bar_type: str = BAR_TYPE


class CrossStrategy(Strategy):
    """Same rule as quarvel's template: each bar's arrival evaluates every bar before it."""

    def __init__(self, config: CrossConfig) -> None:
        super().__init__(config)
        self.bar_type = BarType.from_str(config.bar_type)
        self.rule = Crossover()
        self.grid = MinuteGrid()
        self.closes: list[float] = []
        self.history: list[float] = []  # every close, for the check after the run
        self.minute: int | None = None
        self.held = 0

    def on_start(self) -> None:
        self.subscribe_bars(self.bar_type)

    def on_bar(self, bar) -> None:
        minute = (bar.ts_event - ORIGIN.value) // NS_PER_MIN  # stamped at its close
        close = bar.close.as_double()
        if self.minute is not None:
            flat = len(self.grid.missing(self.minute, minute))
            if flat:
                self.history.extend([self.closes[-1]] * flat)
                self.closes.extend([self.closes[-1]] * min(flat, SLOW))
            self._trade(self.rule.evaluate(self.closes))
        self.minute = minute
        self.closes.append(close)
        self.history.append(close)
        if len(self.closes) > 4 * SLOW:
            del self.closes[:-SLOW]

    def _trade(self, target: int) -> None:
        if target == self.held:
            return
        side = OrderSide.BUY if target > self.held else OrderSide.SELL
        quantity = Quantity.from_int(abs(target - self.held))
        self.submit_order(self.order_factory.market(INSTRUMENT_ID, side, quantity))
        self.held = target


def _instrument() -> FuturesContract:
    return FuturesContract(
        instrument_id=INSTRUMENT_ID, raw_symbol=Symbol(CODE), asset_class=AssetClass.INDEX,
        currency=USD, price_precision=0, price_increment=Price(1, 0),
        multiplier=Quantity.from_int(200), lot_size=Quantity.from_int(1), underlying="TAIEX",
        activation_ns=0, expiration_ns=4_000_000_000 * 1_000_000_000, ts_event=0, ts_init=0,
        margin_init=Decimal("0.1"), margin_maint=Decimal("0.08"),
        maker_fee=Decimal(0), taker_fee=Decimal(0))


def _trade_ticks(folder: Path) -> tuple[list, list]:
    rows = read_ticks(folder, with_side=True)
    stored = store_ticks([(ts, price, size) for ts, price, size, _ in rows])
    ticks = [TradeTick(INSTRUMENT_ID, Price(price, 0), Quantity(size, 0),
                       AGGRESSOR.get(side, AggressorSide.NO_AGGRESSOR), TradeId(str(i)), ts, ts)
             for i, ((ts, price, size), (*_, side)) in enumerate(zip(stored, rows))]
    return ticks, [(ts, price, size) for ts, price, size, _ in rows]


def run(folder: Path) -> None:
    ticks, rows = _trade_ticks(folder)
    engine = BacktestEngine(BacktestEngineConfig(
        logging=LoggingConfig(log_level="ERROR", bypass_logging=True),
        data_engine=DataEngineConfig(time_bars_build_with_no_updates=False,
                                     time_bars_origin_offset={BarAggregation.MINUTE: ORIGIN})))
    engine.add_venue(venue=Venue("TAIFEX"), oms_type=OmsType.NETTING,
                     account_type=AccountType.MARGIN, base_currency=USD,
                     starting_balances=[Money(1_000_000_000, USD)])
    engine.add_instrument(_instrument())
    engine.add_data(ticks)
    strategy = CrossStrategy(CrossConfig())
    engine.add_strategy(strategy)
    with Timer() as timer:
        engine.run()
    fills = len(engine.trader.generate_order_fills_report())
    reference = reference_closes(rows)
    report("nautilus_trader", "TradeTick + internal 1-minute bars, on_bar", len(ticks), timer,
           strategy.rule.signals, fills=fills,
           closes_match=strategy.history == reference[:len(strategy.history)],
           bars=len(strategy.history), reference_bars=len(reference))
    engine.dispose()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks-dir", default=None)
    run(ticks_dir(parser.parse_args().ticks_dir))


if __name__ == "__main__":
    main()
