"""The one builder of each record the tests feed the modules: the playback tick dict and
the deal record the matcher hands the ledger; and the trade-record CSV with its random
order ids numbered, for comparing runs."""

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


def without_order_ids(content: bytes) -> bytes:
    """The CSV with each trade_id (first column) replaced by its order of first appearance."""
    lines = content.split(b"\n")
    assert lines[0].startswith(b"trade_id,")
    numbers = {}
    out = [lines[0]]
    for line in lines[1:]:
        if not line:
            out.append(line)
            continue
        trade_id, sep, rest = line.partition(b",")
        assert sep and len(trade_id) == 16
        out.append(b"%d,%s" % (numbers.setdefault(trade_id, len(numbers)), rest))
    return b"\n".join(out)
