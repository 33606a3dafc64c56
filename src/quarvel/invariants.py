"""One consistency check over a ledger (Positions) and its exchange (Matcher).

For tests, and for anyone who drives the modules by hand and wants to know that no call
left them half-applied::

    from quarvel import invariants
    invariants.check(positions, matcher)      # raises InvariantError listing what broke

The rules:

- every resting order has an int quantity above 0 and its own trade_id;
- every deal report still queued has its "Deal" trade record (same id, quantity, price);
- per code, the open quantity of the book (longs minus shorts) equals the sum of its "Deal"
  records, at most one side is open, and every open entry has a quantity above 0;
- capital equals the initial capital plus the realised profit minus what the open entries
  cost on entry (traded value, fee and fixed cost; under market rules that margin futures,
  a futures entry costs only its fee, tax and fixed cost, and stock entries add their tax).

The capital rule presumes what a backtest does: the fee settings and the initial capital
stay as they were at the first deal. It is skipped while a per-trade fixed cost is set,
because an entry pays that cost once but is re-costed for every chunk that covers it.
"""

from __future__ import annotations

import math
from collections import Counter
from typing import Any

__all__ = ["InvariantError", "check", "problems"]


class InvariantError(AssertionError):
    """A rule of the ledger and exchange that does not hold; the message lists each."""


def _queued(q: Any) -> list:
    with q.mutex:
        return list(q.queue)


def _order_problems(matcher: Any) -> list[str]:
    out = []
    seen: set = set()
    for order in list(matcher.pending_orders):
        trade_id, quantity = order.get("trade_id"), order.get("quantity")
        if type(quantity) is not int or quantity <= 0:
            out.append(f"resting order {trade_id} has quantity {quantity!r}")
        if trade_id in seen:
            out.append(f"trade_id {trade_id} rests twice")
        seen.add(trade_id)
    return out


def _deal_records(positions: Any) -> list[dict]:
    return [r for r in list(positions.trade_records) if r.get("trade_status") == "Deal"]


def _report_problems(positions: Any, matcher: Any) -> list[str]:
    recorded = Counter((r["trade_id"], r["quantity"], r["price"]) for r in _deal_records(positions))
    reported = Counter((r["id"], r["quantity"], r["price"])
                       for r in _queued(matcher.response_queue)
                       if isinstance(r, dict) and "exchange_seqno" in r)
    missing = reported - recorded
    return [f"deal report {key} has no trade record" for key in sorted(missing, key=repr)]


def _book_problems(positions: Any) -> list[str]:
    out = []
    dealt: Counter = Counter()
    for record in _deal_records(positions):
        sign = 1 if record["action"] == "Buy" else -1
        dealt[record["code"]] += sign * record["quantity"]
    for code in set(dealt) | set(positions.positions):
        book = positions.positions.get(code, {"buy": [], "sell": []})
        entries = book["buy"] + book["sell"]
        for entry in entries:
            if type(entry["quantity"]) is not int or entry["quantity"] <= 0:
                out.append(f"{code}: open entry with quantity {entry['quantity']!r}")
        if book["buy"] and book["sell"]:
            out.append(f"{code}: long and short entries open at once")
        held = sum(e["quantity"] for e in book["buy"]) - sum(e["quantity"] for e in book["sell"])
        if held != dealt[code]:
            out.append(f"{code}: the book holds {held} but the deals sum to {dealt[code]}")
    return out


def _capital_problems(positions: Any) -> list[str]:
    settings = positions.fee_settings
    if any(family["per_trade_cost"] for family in settings.values()):
        return []
    cost = getattr(positions, "_Positions__calculate_trade_cost")
    # Market rules that margin futures take only their costs out of capital at entry.
    table = vars(positions).get("_market_rules_table")
    outlay = 0.0
    for code, book in positions.positions.items():
        product_type = positions.product_type_mapper[code]
        for entry in book["buy"] + book["sell"]:
            info = cost(entry["code"], entry["action"], entry["price"], entry["quantity"],
                        product_type, True, False)
            if table is None:
                outlay += info["price"] * info["min_qty"] + info["fee"] + info["fixed_cost"]
                continue
            margined = str(product_type) == "Future" and table.margined(code)
            value = 0.0 if margined else info["price"] * info["min_qty"]
            outlay += value + info["fee"] + info["tax"] + info["fixed_cost"]
    expected = positions.initial_capital + positions._profit_report["profit"] - outlay
    actual = positions.current_capital
    scale = max(abs(positions.initial_capital), abs(outlay), abs(actual), 1.0)
    if not math.isclose(actual, expected, rel_tol=0, abs_tol=scale * 1e-9):
        return [f"capital {actual!r} but initial + realised - open outlay is {expected!r}"]
    return []


def problems(positions: Any, matcher: Any = None) -> list[str]:
    """Every rule that does not hold, as one line each; empty when all hold."""
    out = _book_problems(positions) + _capital_problems(positions)
    if matcher is not None:
        out += _order_problems(matcher) + _report_problems(positions, matcher)
    return out


def check(positions: Any, matcher: Any = None) -> None:
    """Raises InvariantError when any rule does not hold."""
    found = problems(positions, matcher)
    if found:
        raise InvariantError("\n".join(found))
