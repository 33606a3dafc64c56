"""What a strategy sees during a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, NamedTuple


class Position(NamedTuple):
    """A code's open position: signed quantity (long > 0, short < 0), the average entry
    price (deal prices, before slippage) and the unrealised profit at the last close."""

    quantity: int
    avg_price: float
    pnl: float


@dataclass
class BacktestContext:
    """What a strategy sees: the four objects of the run, a few counters and helpers.

    The helpers are thin wrappers over the exchange's and the ledger's own calls.
    """

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
    bar_feed: Any = None  # followed K-bars, made at the first subscribe_bars or bars call

    def buy(self, code: str, qty: int, price: float | None = None,
            order_type: str = "ROD") -> str | None:
        """Place a buy order and return its id (None when the exchange refused it); a market
        order when `price` is None."""
        return self._order(code, "Buy", qty, price, order_type)

    def sell(self, code: str, qty: int, price: float | None = None,
            order_type: str = "ROD") -> str | None:
        """Place a sell order and return its id (None when the exchange refused it); a market
        order when `price` is None."""
        return self._order(code, "Sell", qty, price, order_type)

    def cancel(self, order_id: str) -> None:
        """Cancel a resting order (an unknown id prints the exchange's red line)."""
        self.matcher.cancel_order(order_id)

    def position(self, code: str) -> Position:
        """The open position of `code` straight from the ledger's book."""
        book = self.positions.positions.get(code)
        if not book:
            return Position(0, 0.0, 0.0)
        tick = self.positions.current_tick_infos.get(code)
        close = tick["close"] if tick else None
        quantity, cost, pnl = 0, 0.0, 0.0
        for side, sign in (("buy", 1), ("sell", -1)):
            for entry in book.get(side, []):
                held = entry["quantity"]
                if not held:
                    continue
                quantity += sign * held
                cost += entry["price"] * held
                if close is not None:
                    pnl += sign * (close - entry["price"]) * held * self._unit_value(code, entry)
        opened = abs(quantity)
        return Position(quantity, cost / opened if opened else 0.0, pnl)

    def bars(self, code: str, unit: str = "m", freq: int = 1, n: int | None = None):
        """The last `n` K-bars of `code` (all when `n` is None), oldest first, with the
        boundaries and values of `get_kbar`: the last bar is still forming until the next
        bar starts. A BarsView: `len()`, `.height`, columns `dt`, `Open`, `High`, `Low`,
        `Close`, `Volume` as numpy arrays (`view.Close` or `view["Close"]`) and
        `.to_polars()` for get_kbar's table. Read natively from the tick store."""
        return self._feed().tail(code, unit, freq, n)

    def subscribe_bars(self, code: str, unit: str = "m", freq: int = 1) -> None:
        """Have `on_bar(context, code, bar)` called each time a (code, unit, freq) bar
        closes from now on; call it in `on_start` (or name the bars in the strategy's
        `bars`) to have every bar of the run."""
        self._feed().subscribe(code, unit, freq)

    def _feed(self):
        if self.bar_feed is None:
            from quarvel.backtest.bar_events import make_feed

            self.bar_feed = make_feed(self.quote_manager)
        return self.bar_feed

    def _unit_value(self, code: str, entry: dict) -> float:
        """Money per point per lot or contract, as the ledger values an open position."""
        if str(entry.get("product_type", "Stock")) == "Future":
            return self.positions._Positions__apply_future_contract_value(code)
        return 1000

    def _market(self, code: str) -> str:
        tick = self.tick if self.tick and self.tick.get("code") == code else \
            self.positions.current_tick_infos.get(code)
        if not tick:
            raise KeyError(f"{code}: no tick of this code has been replayed yet")
        return str(tick["market_type"])

    def _order(self, code: str, action: str, qty: int, price: float | None,
               order_type: str) -> str | None:
        market = self._market(code)
        if price is None:
            price_type, price = "MKT", float(self.positions.current_tick_infos[code]["close"])
        else:
            price_type, price = "LMT", float(price)
        self.matcher.add_order(code, market, action, price, qty, price_type, order_type)
        # The new record is appended at the end; the receiver thread may append its own.
        for record in reversed(self.matcher.pending_orders):
            if (record["code"] == code and record["action"] == action
                    and record["quantity"] == qty and record["price"] == price):
                return record["trade_id"]
        # Market rules may refuse an order the account cannot pay for: it has no id then.
        queued = getattr(self.matcher.response_queue, "queue", ())
        if queued and str(queued[-1].get("operation_type")) == "Reject":
            return None
        raise RuntimeError(f"the exchange did not keep the {action} order of {code}")
