"""Tick grid, slippage, contract values and the cost of one trade leg."""

import math
import random

import pytest

from quarvel.modules.positions import positions as positions_module
from quarvel.modules.positions.positions import Positions

STOCK_GRID = [(10, 100), (50, 20), (100, 10), (500, 2), (1000, 1)]


def reference_snap(price, per_unit):
    """The grid rule with Python's own round and ceil, for one band."""
    if per_unit == 1:
        return math.ceil(round(price, 6))
    return math.ceil(round(price * per_unit, 6)) / per_unit


@pytest.fixture
def p():
    return Positions()


class TestSnap:
    @pytest.mark.parametrize("code, price, expected", [
        ("2330", 123.3, (123.5, 0.5)),
        ("2330", 999.2, (1000, 1)),
        ("2330", 1001, (1005, 5)),
        ("2330", 7.001, (7.01, 0.01)),
        ("0050", 1200, (1200, 5)),
        ("0050", 120.0, (120.0, 0.05)),
        ("0050", 49.99, (49.99, 0.01)),
        ("TXF", 17001.0, (17005, 5)),
        ("2330", 10, (10.0, 0.05)),
        ("2330", 499.9, (500.0, 0.5)),
    ])
    def test_examples_with_their_types(self, p, code, price, expected):
        got = p._Positions__ceil_price_by_tick(code, price)
        assert got == expected
        assert [type(v) for v in got] == [type(v) for v in expected]

    @pytest.mark.parametrize("code, price", [("2330", 1.1), ("0050", 10.05), ("0050", 16.01)])
    def test_on_grid_prices_do_not_slip_an_extra_tick(self, p, code, price):
        assert p._Positions__ceil_price_by_tick(code, price)[0] == price
        up = p._Positions__calculate_slippage_price(code, price, 1, "up")
        tick = p._Positions__ceil_price_by_tick(code, price)[1]
        assert up == pytest.approx(price + tick, abs=1e-9)

    def test_matches_python_round_near_grid_points(self, p):
        # Prices a few ulps and about half a millionth of a tick away from grid points,
        # where ceil(round(x, 6)) and a bare ceil disagree.
        rng = random.Random(7)
        for _ in range(20000):
            bound_index = rng.randrange(len(STOCK_GRID))
            bound, per_unit = STOCK_GRID[bound_index]
            low = STOCK_GRID[bound_index - 1][0] if bound_index else 0
            k = rng.randrange(max(1, low * per_unit), bound * per_unit)
            offset = rng.choice([0, 1, -1, 3, -3]) * 1e-15 * k + \
                rng.choice([0, 4.9999e-7, 5.0001e-7, -4.9999e-7, -5.0001e-7, 5e-7]) / per_unit
            price = k / per_unit + offset
            if not low <= price < bound:
                continue
            assert p._Positions__ceil_price_by_tick("2330", price)[0] == \
                reference_snap(price, per_unit), price

    def test_negative_price_snaps_to_positive_zero(self, p):
        price, _ = p._Positions__ceil_price_by_tick("2330", -0.001)
        assert price == 0.0 and math.copysign(1, price) == 1

    @pytest.mark.parametrize("price, error, text", [
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        (float("-inf"), OverflowError, "cannot convert float infinity to integer"),
    ])
    def test_non_finite_price_fails_like_ceil(self, p, price, error, text):
        with pytest.raises(error, match=text):
            p._Positions__ceil_price_by_tick("2330", price)
        with pytest.raises(error, match=text):
            p._Positions__calculate_slippage_price("2330", price, 1, "up")
        assert math.isnan(p._Positions__calculate_slippage_price("2330", float("nan"), 0, "up"))

    def test_big_integral_prices_come_back_exact(self, p):
        # Integer arithmetic after the ceil, as with Python ints: no rounding at 2**60.
        expected = math.ceil(round(2.0 ** 60 / 5, 6)) * 5
        assert p._Positions__ceil_price_by_tick("2330", 2.0 ** 60) == (expected, 5)
        assert expected % 5 == 0


class TestSlippage:
    # The band table is the core's (tests/cpp/test_price_rules.cpp); these cases check what
    # the binding decides: the grid by code, the direction word, the count and the type.
    @pytest.mark.parametrize("code, price, ticks, direction, expected", [
        ("2330", 500.0, 3, "up", 503.0),
        ("2330", 500.0, 3, "down", 498.0),
        ("2330", 123.3, -2, "up", 123.3),
        ("0050", 120.0, 3, "up", 120.15),
        ("TXF", 17000.0, 3, "up", 17015.0),
        ("2330", 600, 3, "sideways", 597.0),
    ])
    def test_examples(self, p, code, price, ticks, direction, expected):
        got = p._Positions__calculate_slippage_price(code, price, ticks, direction)
        assert got == expected and type(got) is float


class TestContractValue:
    def test_table_value_then_fallback_read_at_call_time(self, p, monkeypatch):
        assert p._Positions__apply_future_contract_value("TXF") == 200
        assert p._Positions__apply_future_contract_value("ZZZ") == 2000
        monkeypatch.setattr(positions_module, "FutureIndexContractValue", {"ZZZ": 12.5})
        assert p._Positions__apply_future_contract_value("ZZZ") == 12.5
        assert p._Positions__apply_future_contract_value("TXF") == 2000


class TestTradeCost:
    def test_two_lot_stock_buy(self, p):
        cost = p._Positions__calculate_trade_cost("2330", "Buy", 600.0, 2, "Stock", False, False)
        assert cost == {"fee": 0.001425 * 2 * 1000 * 603.0, "tax": 3618.0, "fixed_cost": 0,
                        "qty": 2, "min_qty": 2000, "price": 603.0, "origin_price": 600.0}
        assert cost["fee"] == pytest.approx(1718.55)
        assert list(cost) == ["fee", "tax", "fixed_cost", "qty", "min_qty", "price",
                              "origin_price"]

    def test_defaults_reverse_direction_and_charge_tax(self, p):
        cost = p._Positions__calculate_trade_cost("2330", "Buy", 600, 2, "Stock")
        assert cost["price"] == 597.0 and cost["origin_price"] == 600.0
        assert type(cost["origin_price"]) is float
        assert cost["tax"] == 0.003 * 2 * 1000 * 597.0

    def test_ignored_tax_is_integer_zero(self, p):
        cost = p._Positions__calculate_trade_cost("2330", "Sell", 600.0, 1, "Stock", True, False)
        assert cost["tax"] == 0 and type(cost["tax"]) is int
        assert cost["price"] == 597.0

    @pytest.mark.parametrize("code, contract_value", [("MXF", 50), ("NOPE", 2000)])
    def test_future_units_use_contract_value(self, p, code, contract_value):
        cost = p._Positions__calculate_trade_cost(code, "Sell", 17000.0, 2, "Future",
                                                  False, False)
        assert cost["min_qty"] == 2 * contract_value
        assert cost["price"] == 16985.0
        assert cost["fee"] == 0.00002 * 2 * contract_value * 16985.0
        assert cost["tax"] == cost["fee"]

    def test_reads_settings_in_force(self, p):
        p.update_fee_settings("stock", action="buy", fee=0.002, per_trade_cost=7,
                              tick_count=1, direction="down")
        cost = p._Positions__calculate_trade_cost("2330", "Buy", 600.0, 1, "Stock", False, False)
        assert cost["price"] == 599.0 and cost["fixed_cost"] == 7
        assert cost["fee"] == 0.002 * 1 * 1000 * 599.0

    def test_str_enum_side_and_product_type(self, p):
        from quarvel.constant import Action
        cost = p._Positions__calculate_trade_cost("2330", Action.SELL, 600.0, 1, "Stock",
                                                  False, False)
        assert cost["price"] == 597.0

    @pytest.mark.parametrize("product_type", ["stock", "Bond", ""])
    def test_unknown_product_type(self, p, product_type):
        with pytest.raises(Exception) as info:
            p._Positions__calculate_trade_cost("2330", "Buy", 600.0, 1, product_type)
        assert type(info.value) is Exception
        assert str(info.value) == "不支援的商品類型: " + product_type

    def test_unknown_side_is_key_error(self, p):
        with pytest.raises(KeyError, match="hold"):
            p._Positions__calculate_trade_cost("2330", "Hold", 600.0, 1, "Stock")

    @pytest.mark.parametrize("args, name", [
        ((2330, "Buy", 600.0, 1, "Stock"), "code"),
        (("2330", "Buy", "600", 1, "Stock"), "price"),
        (("2330", "Buy", True, 1, "Stock"), "price"),
        (("2330", "Buy", 600.0, 1.0, "Stock"), "quantity"),
        (("2330", "Buy", 600.0, True, "Stock"), "quantity"),
    ])
    def test_argument_types(self, p, args, name):
        with pytest.raises(TypeError, match=name):
            p._Positions__calculate_trade_cost(*args)

    def test_tick_count_setting_must_be_int(self, p):
        p.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = 3.0
        with pytest.raises(TypeError, match="tick_count"):
            p._Positions__calculate_trade_cost("2330", "Buy", 600.0, 1, "Stock")
