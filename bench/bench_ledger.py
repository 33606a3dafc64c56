"""Ledger speed: one trade-leg costing, and one open-then-cover pair of deals.

Prints microseconds per call (best of several rounds), as CPU time of this thread so that
other work on a shared machine does not count. Console output goes to a no-op object so
printing is not measured; the cover lines are still formatted.

    PYTHONPATH=src python bench/bench_ledger.py
"""

import time

from quarvel.constant import Action, OrderCond, OrderLot, OrderType, PriceType
from quarvel.modules.positions import positions as positions_module
from quarvel.modules.positions.positions import Positions

ROUNDS = 5


class NoConsole:
    def print(self, *args, **kwargs):
        pass


def best_microseconds(run, calls):
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.thread_time_ns()
        run(calls)
        best = min(best, (time.thread_time_ns() - start) / calls / 1000)
    return best


def matcher_deal(action, price, enum_values):
    """A deal record as the matcher hands it over (16 keys)."""
    record = {
        "operation_type": "New", "operation_code": "00", "operation_message": "新增委託成功",
        "trade_id": "abcdefghijklmnop", "account_id": "BT-00001", "code": "2330",
        "product_type": "Stock", "action": action, "price": price, "quantity": 1,
        "price_type": PriceType.LMT, "order_type": OrderType.ROD,
        "exchange_ts": 1700000000.5, "order_cond": OrderCond.CASH,
        "order_lot": OrderLot.COMMON,
    }
    if not enum_values:
        record = {k: (v.value if hasattr(v, "value") else v) for k, v in record.items()}
    return record


def bench_trade_cost():
    cost = Positions()._Positions__calculate_trade_cost

    def run(calls):
        for _ in range(calls):
            cost("2330", "Buy", 600.0, 2, "Stock", False, False)

    return best_microseconds(run, 100_000)


def bench_open_cover(enum_values):
    positions = Positions()
    buy = matcher_deal(Action.BUY if enum_values else "Buy", 600.0, enum_values)
    sell = matcher_deal(Action.SELL if enum_values else "Sell", 610.0, enum_values)
    set_positions = positions.set_positions

    def run(calls):
        positions._profit_report["rows"].clear()
        for _ in range(calls):
            set_positions(buy, "Stock")
            set_positions(sell, "Stock")

    return best_microseconds(run, 20_000)


def main():
    saved = positions_module.console
    positions_module.console = NoConsole()
    try:
        print(f"_Positions__calculate_trade_cost: {bench_trade_cost():.2f} us/call")
        print(f"set_positions open+cover (enum fields): {bench_open_cover(True):.2f} us/pair")
        print(f"set_positions open+cover (plain str fields): "
              f"{bench_open_cover(False):.2f} us/pair")
    finally:
        positions_module.console = saved


if __name__ == "__main__":
    main()
