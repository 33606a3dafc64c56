"""A moving-average cross on one-minute K-bars: a template for your own strategy.

Rules, per code:
- When the fast average of one-minute closes crosses above the slow one, buy; when it
  crosses below, sell. A new signal first closes the opposite position, then opens.
- Entries are ROD limit orders a few ticks through the last price, so they usually fill
  at the next tick but may rest; exits are IOC orders, filled at once or cancelled.
- A resting entry that is still open when the next signal comes is cancelled.

Reading it top to bottom shows the whole surface a strategy needs: the context's bars,
position and order helpers (each a thin wrapper over the exchange's and ledger's calls).
"""

from __future__ import annotations


class MovingAverageCross:
    fast = 10
    slow = 30
    quantity = 1
    # Codes to trade; other replayed codes (such as the "0050" benchmark) are only watched.
    trade_codes: tuple[str, ...] | None = None

    def __init__(self, fast: int = 10, slow: int = 30, quantity: int = 1,
                 trade_codes: tuple[str, ...] | None = None) -> None:
        # Keyword arguments, so that a parameter sweep can hand each set to the constructor.
        if not 0 < fast < slow:
            raise ValueError(f"the fast average needs fewer bars than the slow one: "
                             f"fast={fast}, slow={slow}")
        self.fast, self.slow, self.quantity = fast, slow, quantity
        self.trade_codes = trade_codes

    def on_start(self, context):
        self.last_minute = {}
        self.signal = {}
        self.resting = {}

    def on_tick(self, context, tick):
        code = tick["code"]
        if tick.get("is_backfilling") or not self._trades(code):
            return
        minute = int(tick["timestamp"] // 60)
        if self.last_minute.get(code) == minute:
            return  # averages change only when a bar closes
        self.last_minute[code] = minute

        # Only the bars the averages need: the slow window plus the bar still forming.
        bars = context.bars(code, "m", 1, n=self.slow + 1)
        if bars.height <= self.slow:
            return
        closes = bars.Close[:-1].tolist()
        fast = sum(closes[-self.fast:]) / self.fast
        slow = sum(closes) / self.slow
        signal = "Buy" if fast > slow else "Sell"
        if self.signal.get(code) in (None, signal):
            self.signal[code] = signal
            return
        self.signal[code] = signal
        self._act(context, code, tick["close"], signal)

    def on_report(self, context, report):
        if "exchange_seqno" in report and self.resting.get(report["code"]) == report["id"]:
            self.resting.pop(report["code"])  # the resting entry filled

    def _trades(self, code):
        if self.trade_codes is None:
            return code != "0050"
        return code in self.trade_codes

    def _act(self, context, code, close, signal):
        resting = self.resting.pop(code, None)
        if resting is not None:
            context.cancel(resting)

        held = context.position(code).quantity
        if (signal == "Buy" and held < 0) or (signal == "Sell" and held > 0):
            exit_price = close * (1.01 if signal == "Buy" else 0.99)
            place = context.buy if signal == "Buy" else context.sell
            place(code, abs(held), exit_price, order_type="IOC")

        entry_price = close * (1.002 if signal == "Buy" else 0.998)
        place = context.buy if signal == "Buy" else context.sell
        self.resting[code] = place(code, self.quantity, entry_price)
