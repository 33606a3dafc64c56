"""The one builder of each record the tests feed the modules: the playback tick dict and
the deal record the matcher hands the ledger."""

from __future__ import annotations

from typing import Any

from quarvel.constant import OrderType, PriceType

TS = 1700000000.0


def tick(code: str = "2330", ts: float = TS, close: float = 100.0, qty: int = 1,
         market: str = "Stock", tick_type: int = 1, simulate: bool = False,
         backfilling: bool = False) -> dict[str, Any]:
    """A playback tick dict, keys in the order the ticker emits them."""
    return {"market_type": market, "timestamp": ts, "code": code, "close": close, "qty": qty,
            "tick_type": tick_type, "is_simulate": simulate, "is_backfilling": backfilling}


def deal(action: str, quantity: int, price: float, code: str = "2330", ts: float = TS,
         product_type: str = "Stock", trade_id: str | None = None,
         order_fields: bool = True) -> dict[str, Any]:
    """A deal record shaped like the matcher's (`order_fields`: with the order's
    operation, price type and order type, as a filled order carries them)."""
    record: dict[str, Any] = {}
    if order_fields:
        record["operation_type"] = "New"
    record.update(trade_id=trade_id if trade_id is not None else f"{action}{price}{quantity}",
                  code=code, product_type=product_type, action=action, price=price,
                  quantity=quantity)
    if order_fields:
        record.update(price_type=PriceType.LMT, order_type=OrderType.ROD)
    record["exchange_ts"] = ts
    return record
