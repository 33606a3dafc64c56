"""Where a run's gross result went: commission, tax, fixed costs and slippage.

Built from the ledger's profit rows, so that gross − costs − slippage is the net profit the
ledger booked, whichever market rules were in force.
"""

from __future__ import annotations


def cost_breakdown(profit_rows: list[dict]) -> dict[str, float]:
    """Totals over `profit_rows`: gross (at deal prices), commission, tax, fixed, slippage, net."""
    out = dict.fromkeys(("gross", "commission", "tax", "fixed", "slippage", "net"), 0.0)
    for row in profit_rows:
        units = row["min_qty"]
        # A long gains when the exit is higher; a short (entered by a sell) when it is lower.
        sign = -1 if str(row["entry_action"]) == "Sell" else 1
        out["gross"] += sign * (row["exit_origin_price"] - row["entry_origin_price"]) * units
        at_deal = sign * (row["exit_origin_price"] - row["entry_origin_price"])
        at_fill = sign * (row["exit_price"] - row["entry_price"])
        out["slippage"] += (at_deal - at_fill) * units
        out["commission"] += row["trade_cost_fee"] + row["cover_cost_fee"]
        out["tax"] += row["trade_cost_tax"] + row["cover_cost_tax"]
        out["fixed"] += row["trade_cost_fixed"] + row["cover_cost_fixed"]
        out["net"] += row["profit"]
    return out


def summary_rows(rules_name: str, rules_values: dict, breakdown: dict) -> list[tuple[str, str]]:
    """Label/value rows for the terminal summary: the rules in force and the cost breakdown."""
    rows = [("market rules", rules_name)]
    rows += [(f"  {name}", f"{value:g}") for name, value in rules_values.items()]
    rows += [(name, f"{breakdown[name]:,.2f}") for name in
             ("gross", "commission", "tax", "fixed", "slippage", "net")]
    return rows


def run_cost_rows(positions) -> list[tuple[str, str]]:
    """Summary rows of a finished run: its market rules and where its gross result went."""
    from quarvel.rules import rules_of

    rules = rules_of(positions)
    return summary_rows(rules.name, rules.values(), cost_breakdown(positions._profit_report["rows"]))
