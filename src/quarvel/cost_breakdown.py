"""Summary rows of the market rules a run used, and its gross result before costs.

The gross is taken at the deal prices of the closed round trips, so that gross − (fees +
taxes + slippage) is the realised profit the ledger booked, whichever rules were in force.
"""

from __future__ import annotations


def gross_profit(profit_rows: list[dict]) -> float:
    """Σ over profit rows of the price move at deal prices × units, signed by the side held."""
    total = 0.0
    for row in profit_rows:
        # A long gains when the exit is higher; a short (entered by a sell) when it is lower.
        sign = -1 if str(row["entry_action"]) == "Sell" else 1
        total += sign * (row["exit_origin_price"] - row["entry_origin_price"]) * row["min_qty"]
    return total


def run_cost_rows(positions) -> list[tuple[str, str]]:
    """Label/value rows: the rules in force with their values, and the gross before costs."""
    from quarvel.rules import rules_of

    rules = rules_of(positions)
    rows = [("market rules", rules.name)]
    rows += [(f"  {name}", f"{value:g}") for name, value in rules.values().items()]
    rows.append(("gross before costs", f"{gross_profit(positions._profit_report['rows']):,.2f}"))
    return rows
