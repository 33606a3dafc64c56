"""A moving-average cross on one-minute K-bars: a template for your own strategy.

Rules, per code:
- When the fast average of one-minute closes crosses above the slow one, buy; when it
  crosses below, sell. A new signal first closes the opposite position, then opens.
- Entries are ROD limit orders a few ticks through the last price, so they usually fill
  at the next tick but may rest; exits are IOC orders, filled at once or cancelled.
- A resting entry that is still open when the next signal comes is cancelled.

Reading it top to bottom shows the whole surface a strategy needs: the context, the
K-bars from the quote manager, the order calls of the exchange and its reports.
"""

from __future__ import annotations


class MovingAverageCross:
    fast = 10
    slow = 30
    quantity = 1
    # Codes to trade; other replayed codes (such as the "0050" benchmark) are only watched.
    trade_codes: tuple[str, ...] | None = None

    def on_start(self, context):
        self.last_minute = {}
        self.signal = {}
        self.holding = {}
        self.resting = {}

    def on_tick(self, context, tick):
        code = tick["code"]
        if tick.get("is_backfilling") or not self._trades(code):
            return
        minute = int(tick["timestamp"] // 60)
        if self.last_minute.get(code) == minute:
            return  # averages change only when a bar closes
        self.last_minute[code] = minute

        bars = context.quote_manager.get_kbar(code, unit="m", freq=1)
        if bars.height <= self.slow:
            return
        closes = bars["Close"].to_list()[:-1]  # the last bar is still forming
        fast = sum(closes[-self.fast:]) / self.fast
        slow = sum(closes[-self.slow:]) / self.slow
        signal = "Buy" if fast > slow else "Sell"
        if self.signal.get(code) in (None, signal):
            self.signal[code] = signal
            return
        self.signal[code] = signal
        self._act(context, tick, signal)

    def on_report(self, context, report):
        if "exchange_seqno" in report:  # a deal
            code = report["code"]
            step = report["quantity"] if report["action"] == "Buy" else -report["quantity"]
            self.holding[code] = self.holding.get(code, 0) + step
            if self.resting.get(code) == report["id"]:
                self.resting.pop(code)

    def _trades(self, code):
        if self.trade_codes is None:
            return code != "0050"
        return code in self.trade_codes

    def _act(self, context, tick, signal):
        matcher = context.matcher
        code, market, close = tick["code"], tick["market_type"], tick["close"]
        resting = self.resting.pop(code, None)
        if resting is not None:
            matcher.cancel_order(resting)

        held = self.holding.get(code, 0)
        if (signal == "Buy" and held < 0) or (signal == "Sell" and held > 0):
            exit_price = close * (1.01 if signal == "Buy" else 0.99)
            matcher.add_order(code, market, signal, exit_price, abs(held), "LMT", "IOC")

        entry_price = close * (1.002 if signal == "Buy" else 0.998)
        before = {order["trade_id"] for order in matcher.pending_orders}
        matcher.add_order(code, market, signal, entry_price, self.quantity, "LMT", "ROD")
        for order in matcher.pending_orders:
            if order["trade_id"] not in before:
                self.resting[code] = order["trade_id"]
