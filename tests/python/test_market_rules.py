"""Taiwan market rules through the exchange and the ledger, against hand-computed statements."""

import datetime as dt

import pytest

from matcher_support import drain
from quarvel import invariants
from quarvel.modules.matcher.matcher import Matcher
from quarvel.modules.positions.positions import Positions
from quarvel.rules import SpecRules, TaiwanRules, make_rules

TAIPEI = dt.timezone(dt.timedelta(hours=8))


def ts(day, hour, minute=0):
    return dt.datetime(2024, 1, day, hour, minute, tzinfo=TAIPEI).timestamp()


def account(capital=1_000_000, ticks=0, **overrides):
    positions = Positions()
    positions.set_initial_capital(capital)
    positions.apply_rules(TaiwanRules(**overrides))
    for family in ("stock", "future"):
        for side in ("buy", "sell"):
            positions.update_fee_settings(family, action=side, tick_count=ticks)
    return positions, Matcher(positions)


def trade(m, code, action, price, when, qty=1, product="Stock"):
    """A limit order filled by the next tick at its own price."""
    m.add_order(code, product, action, price, qty, "LMT", "ROD")
    tick = {"code": code, "close": price, "qty": qty, "ts": when, "timestamp": when}
    m.set_current_tick(tick)
    m.match_deal(code, price, qty, when)
    invariants.check(m.positions, m)


def last_row(positions):
    return positions._profit_report["rows"][-1]


def test_small_stock_fill_pays_the_minimum_commission(printed):
    # 2330, 1 lot at 45.0 then 46.0, broker discount 0.28: 45,000 × 0.1425% × 0.28 = 17.96
    # and 46,000 × ... = 18.35, both below 20; tax 46,000 × 0.3% = 138.
    positions, m = account(100_000, broker_discount=0.28)
    trade(m, "2330", "Buy", 45.0, ts(2, 9))
    assert positions.current_capital == 100_000 - 45_000 - 20
    trade(m, "2330", "Sell", 46.0, ts(3, 9))
    row = last_row(positions)
    assert (row["trade_cost"], row["cover_cost_fee"], row["cover_cost_tax"]) == (20, 20, 138)
    assert row["profit"] == 1000 - 20 - 20 - 138
    assert positions.current_capital == 100_000 + 822


@pytest.mark.parametrize("code, sell_day, tax", [
    ("2330", 2, 915),    # day trade: 610,000 × 0.15%
    ("2330", 3, 1830),   # held overnight: 0.3%
    ("0050", 2, 610),    # ETF: 0.1%, day trade or not
    ("0050", 3, 610),
    ("00679B", 3, 0),    # bond ETF: exempt
])
def test_securities_tax_on_the_sell(code, sell_day, tax, printed):
    positions, m = account()
    trade(m, code, "Buy", 600.0, ts(2, 9, 5))
    trade(m, code, "Sell", 610.0, ts(sell_day, 13, 20))
    row = last_row(positions)
    assert row["cover_cost_tax"] == tax
    assert (row["trade_cost"], row["cover_cost_fee"]) == (855, 869)  # 0.1425%, no discount
    assert positions.current_capital == 1_000_000 + 10_000 - 855 - 869 - tax


def test_tx_round_trip_reserves_and_releases_margin(printed):
    # One tick of slippage per side on the 1-point grid: in at 23,001, out at 23,009.
    positions, m = account(ticks=1)
    trade(m, "TXFR1", "Buy", 23000.0, ts(2, 9), product="Future")
    # Only the costs leave cash: 50 commission + 23,001 × 200 × 0.002% = 92 tax.
    assert positions.current_capital == 1_000_000 - 142
    margin = positions.fetch_margin()
    assert (margin["margin_used"], margin["maintenance_margin"]) == (338_000, 259_000)
    assert margin["available"] == 1_000_000 - 142 - 338_000
    positions.fetch_positions("Future")
    (summary,) = positions.pop_positions()
    assert (summary["margin_used"], summary["margin_available"]) == (338_000, margin["available"])

    trade(m, "TXFR1", "Sell", 23010.0, ts(2, 10), product="Future")
    row = last_row(positions)
    assert (row["entry_price"], row["exit_price"]) == (23001.0, 23009.0)
    assert (row["trade_cost"], row["cover_cost"]) == (142, 142)
    assert row["profit"] == 8 * 200 - 284
    assert positions.current_capital == 1_000_000 + 1316
    assert positions.fetch_margin()["margin_used"] == 0


def test_order_beyond_margin_is_rejected_and_never_rests(printed):
    positions, m = account(100_000)
    m.add_order("TXFR1", "Future", "Buy", 23000.0, 1, "LMT", "ROD")
    (report,) = drain(m)
    assert str(report["operation_type"]) == "Reject"
    assert report["operation_status_code"] == "88"
    # 338,000 margin + 50 commission + 92 tax against 100,000 of cash.
    assert "需要 338,142, 可用 100,000, 不足 238,142" in report["operation_message"]
    assert m.pending_orders == []
    assert any(line.startswith("[red]") and "不足 238,142" in line for line in printed.lines)


def test_closing_order_needs_no_margin(printed):
    positions, m = account(400_000)
    trade(m, "TXFR1", "Buy", 23000.0, ts(2, 9), product="Future")
    assert positions.fetch_margin()["available"] < 338_000
    drain(m)
    m.add_order("TXFR1", "Future", "Sell", 23000.0, 1, "LMT", "ROD")  # covers: accepted
    assert [str(r["operation_type"]) for r in drain(m)] == ["New"]
    m.add_order("TXFR1", "Future", "Buy", 23000.0, 1, "LMT", "ROD")  # a second contract: no
    assert [str(r["operation_type"]) for r in drain(m)] == ["Reject"]


def test_default_rules_accept_everything_and_keep_the_stock_grid(printed):
    positions = Positions()
    m = Matcher(positions)
    m.add_order("TXFR1", "Future", "Buy", 23000.0, 1, "LMT", "ROD")
    assert len(m.pending_orders) == 1
    assert positions._Positions__calculate_slippage_price("TXFR1", 23000, 3, "up") == 23015.0
    positions.apply_rules(TaiwanRules())
    assert positions._Positions__calculate_slippage_price("TXFR1", 23000, 3, "up") == 23003.0
    positions.apply_rules(SpecRules())
    assert positions._Positions__calculate_slippage_price("TXFR1", 23000, 3, "up") == 23015.0
    assert set(vars(positions)) == set(vars(Positions()))
    assert positions.fetch_margin() == 100_000


def test_mtx_held_across_the_night_session(printed):
    positions, m = account(90_000)
    trade(m, "MXFR1", "Buy", 22500.0, ts(2, 13), product="Future")
    # 25 commission + 22,500 × 50 × 0.002% = 22.5, rounded to 23.
    assert positions.current_capital == 90_000 - 48
    # Night session of the 2nd (after 15:00): 22,010 keeps equity just above maintenance.
    m.set_current_tick({"code": "MXFR1", "close": 22010.0, "qty": 1, "ts": ts(2, 22),
                        "timestamp": ts(2, 22)})
    margin = positions.fetch_margin()
    assert margin["unrealised"] == -490 * 50
    assert (margin["margin_used"], margin["margin_call"]) == (84_500, False)
    m.set_current_tick({"code": "MXFR1", "close": 21990.0, "qty": 1, "ts": ts(3, 2),
                        "timestamp": ts(3, 2)})
    assert positions.fetch_margin()["margin_call"] is True  # 64,452 < 64,750
    trade(m, "MXFR1", "Sell", 22600.0, ts(3, 9), product="Future")
    # 100 points × 50, less 48 in and 25 + 22.6 → 23 out.
    assert last_row(positions)["profit"] == 5000 - 48 - 48
    assert positions.current_capital == 90_000 + 4904
    assert positions.fetch_margin()["margin_used"] == 0


@pytest.mark.parametrize("make, error", [
    (lambda: TaiwanRules(tx_comission=40), TypeError),
    (lambda: TaiwanRules(broker_discount=-0.1), ValueError),
    (lambda: TaiwanRules(futures_tax="0.1"), ValueError),
    (lambda: make_rules("japan"), ValueError),
])
def test_bad_rule_settings_are_refused(make, error):
    with pytest.raises(error):
        make()


def test_overrides_reach_the_costing(printed):
    positions, m = account(tx_commission=30, tx_original_margin=300_000)
    trade(m, "TXFR1", "Buy", 23000.0, ts(2, 9), product="Future")
    assert positions.current_capital == 1_000_000 - 30 - 92
    assert positions.fetch_margin()["margin_used"] == 300_000
    assert "tx_commission=30.0" in repr(TaiwanRules(tx_commission=30))


def test_market_order_is_checked_at_the_latest_close(printed):
    # A market order's own price (1.0 here) says nothing about what it will cost.
    positions, m = account(200_000)
    m.set_current_tick({"code": "2330", "close": 600.0, "qty": 1, "ts": ts(2, 9),
                        "timestamp": ts(2, 9)})
    m.add_order("2330", "Stock", "Buy", 1.0, 1, "MKT", "IOC")
    (report,) = drain(m)
    assert "需要 600,855" in report["operation_message"]
