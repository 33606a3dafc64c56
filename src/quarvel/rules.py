"""Market rules an account trades under: costs, tick sizes, margin and buying power.

``SpecRules`` keeps the simulator's own fee settings (the default); ``TaiwanRules`` charges
what a Taiwan trader pays. Install either with ``Positions.apply_rules(rules)`` or pass
``rules="taiwan"`` to ``run_backtest`` (``--rules taiwan`` on the command line).

Defaults of ``TaiwanRules`` (every value can be overridden by keyword)::

    name                      default    source, date
    stock_commission_rate     0.001425   TWSE brokerage fee ceiling, in force since 1990s (2025-12)
    broker_discount           1.0        no discount; online brokers give 0.2-0.6 (2025-12)
    min_commission            20         usual broker minimum per fill, TWD (2025-12)
    stock_tax                 0.003      Securities Transaction Tax Act art. 2 (2025-12)
    etf_tax                   0.001      same act, ETFs ("00" codes) (2025-12)
    day_trade_tax             0.0015     same act, same-day round trip of a stock, extended to 2027-12-31
    bond_etf_tax              0.0        bond ETF sells exempt until 2026-12-31 (2025-12)
    futures_tax               0.00002    Futures Transaction Tax Act, stock index futures, per side (2025-12)
    tx_multiplier             200        TAIFEX TX contract terms, TWD per point (2025-12)
    mtx_multiplier            50         TAIFEX MTX contract terms (2025-12)
    tmf_multiplier            10         TAIFEX TMF contract terms (2025-12)
    tx_commission             50         typical retail broker, TWD per contract per side (2025-12)
    mtx_commission            25         typical retail broker (2025-12)
    tmf_commission            12         typical retail broker (2025-12)
    tx_original_margin        338000     TAIFEX margin table, TWD per contract (2025-12)
    tx_maintenance_margin     259000     TAIFEX margin table (2025-12)
    mtx_original_margin       84500      TAIFEX margin table (2025-12)
    mtx_maintenance_margin    64750      TAIFEX margin table (2025-12)
    tmf_original_margin       16900      TAIFEX margin table (2025-12)
    tmf_maintenance_margin    12950      TAIFEX margin table (2025-12)

Rules of the Taiwan costing: commission and securities tax are rounded down to whole TWD
(the commission is at least ``min_commission`` per leg and fill); the futures tax is rounded
to whole TWD. Index futures (TXF/MXF/TMF codes, plain and R1/R2) move in 1-point ticks,
reserve the original margin when opened, pay only their costs from cash and take their
profit or loss into cash on cover. An order that needs more cash or margin than is
available is rejected by the exchange.
"""

from __future__ import annotations

from typing import Any


class SpecRules:
    """The simulator's own costing from its fee settings; nothing is ever rejected."""

    name = "default"
    table = None

    def values(self) -> dict[str, Any]:
        return {}

    def __repr__(self) -> str:
        return "SpecRules()"


# name: (default, source, date) — see the module docstring for the long form.
TAIWAN_DEFAULTS: dict[str, tuple[float, str, str]] = {
    "stock_commission_rate": (0.001425, "TWSE brokerage fee ceiling", "2025-12"),
    "broker_discount": (1.0, "no broker discount", "2025-12"),
    "min_commission": (20, "usual broker minimum per fill", "2025-12"),
    "stock_tax": (0.003, "Securities Transaction Tax Act", "2025-12"),
    "etf_tax": (0.001, "Securities Transaction Tax Act, ETFs", "2025-12"),
    "day_trade_tax": (0.0015, "Securities Transaction Tax Act, day trades", "2025-12"),
    "bond_etf_tax": (0.0, "bond ETF exemption", "2025-12"),
    "futures_tax": (0.00002, "Futures Transaction Tax Act, index futures", "2025-12"),
    "tx_multiplier": (200, "TAIFEX contract terms", "2025-12"),
    "mtx_multiplier": (50, "TAIFEX contract terms", "2025-12"),
    "tmf_multiplier": (10, "TAIFEX contract terms", "2025-12"),
    "tx_commission": (50, "typical retail broker", "2025-12"),
    "mtx_commission": (25, "typical retail broker", "2025-12"),
    "tmf_commission": (12, "typical retail broker", "2025-12"),
    "tx_original_margin": (338000, "TAIFEX margin table", "2025-12"),
    "tx_maintenance_margin": (259000, "TAIFEX margin table", "2025-12"),
    "mtx_original_margin": (84500, "TAIFEX margin table", "2025-12"),
    "mtx_maintenance_margin": (64750, "TAIFEX margin table", "2025-12"),
    "tmf_original_margin": (16900, "TAIFEX margin table", "2025-12"),
    "tmf_maintenance_margin": (12950, "TAIFEX margin table", "2025-12"),
}


class TaiwanRules:
    """Taiwan costs, tick sizes and margin; keywords override the defaults by name."""

    name = "taiwan"

    def __init__(self, **overrides: float) -> None:
        from quarvel.modules.positions.positions import TaiwanRulesTable

        unknown = sorted(set(overrides) - set(TAIWAN_DEFAULTS))
        if unknown:
            raise TypeError(f"不支援的規則設定: {', '.join(unknown)}")
        self.table = TaiwanRulesTable()
        for name, (default, _source, _date) in TAIWAN_DEFAULTS.items():
            value = overrides.get(name, default)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
                raise ValueError(f"規則設定 {name} 必須是不小於 0 的數字: {value!r}")
            setattr(self.table, name, float(value))

    def values(self) -> dict[str, float]:
        return {name: getattr(self.table, name) for name in TAIWAN_DEFAULTS}

    def __reduce__(self):
        # The native table does not pickle; the values rebuild it (sweeps ship rules to workers).
        return _taiwan_rules, (self.values(),)

    def __repr__(self) -> str:
        changed = {k: v for k, v in self.values().items() if v != TAIWAN_DEFAULTS[k][0]}
        return "TaiwanRules(" + ", ".join(f"{k}={v!r}" for k, v in changed.items()) + ")"


def _taiwan_rules(values: dict[str, float]) -> TaiwanRules:
    return TaiwanRules(**values)


RULES = {"default": SpecRules, "taiwan": TaiwanRules}


def make_rules(rules: str | SpecRules | TaiwanRules | None) -> SpecRules | TaiwanRules:
    """A rules object from its name ("default", "taiwan"), or the object itself; None is "default"."""
    if rules is None:
        return SpecRules()
    if isinstance(rules, str):
        try:
            return RULES[rules.lower()]()
        except KeyError:
            raise ValueError(f"不支援的市場規則: {rules} (可用: {', '.join(RULES)})") from None
    if not hasattr(rules, "table"):
        raise TypeError(f"不支援的市場規則: {rules!r}")
    return rules


def rules_of(positions) -> SpecRules | TaiwanRules:
    """The rules installed on a Positions object (SpecRules when none were)."""
    return vars(positions).get("_market_rules") or SpecRules()
