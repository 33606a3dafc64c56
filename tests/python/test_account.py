"""The account: construction, capital, fee settings and the latest tick per code."""

import queue

import pytest

from quarvel.modules.positions import positions as positions_module
from quarvel.modules.positions.positions import Positions

ATTRIBUTES = [
    "positions", "trade_records", "product_type_mapper", "current_tick_infos",
    "fetch_position_queue", "finish_fetch_position_queue",
    "wait_fetch_position_response_flag", "initial_capital", "current_capital",
    "_profit_report", "_fee_settings", "_account_infos",
]


def slippage(buy=(3, "up"), sell=(3, "down")):
    return {"buy": {"tick_count": buy[0], "direction": buy[1]},
            "sell": {"tick_count": sell[0], "direction": sell[1]}}


def test_construction_state_in_order():
    p = Positions()
    assert list(vars(p)) == ATTRIBUTES
    assert isinstance(p.fetch_position_queue, queue.Queue)
    assert isinstance(p.finish_fetch_position_queue, queue.Queue)
    assert p.wait_fetch_position_response_flag is False
    assert p._profit_report == {"profit": 0, "rows": []}
    assert p.fetch_account_balance() == 100000 and p.fetch_margin() == 100000
    assert type(p.initial_capital) is int
    assert p.fee_settings == {
        "stock": {"fee": 0.001425, "tax": 0.003, "per_trade_cost": 0, "slippage": slippage()},
        "future": {"fee": 0.00002, "tax": 0.00002, "per_trade_cost": 0, "slippage": slippage()},
    }
    assert list(p.fee_settings["stock"]) == ["fee", "tax", "per_trade_cost", "slippage"]


def test_account_info_record_is_fresh_each_time():
    p = Positions()
    first = p._Positions__init_account_info()
    assert list(first) == ["entry_times", "cover_times", "entry_amount", "exit_amount",
                           "net_profit", "extra_fee", "profit_times", "loss_times",
                           "profit_total", "loss_total", "profit"]
    assert all(v == 0 and type(v) is int for v in first.values())
    first["profit"] = 5
    assert p._Positions__init_account_info()["profit"] == 0


class TestCapital:
    def test_set_initial_capital_keeps_book_and_statistics(self):
        p = Positions()
        p.positions["2330"] = {"buy": [{"quantity": 1}], "sell": []}
        p._account_infos["2330"] = {"entry_times": 1}
        p.current_capital = -5
        p.set_initial_capital(250000)
        assert (p.initial_capital, p.current_capital) == (250000, 250000)
        assert p.fetch_account_balance() == 250000 == p.fetch_margin()
        assert p.positions["2330"]["buy"] == [{"quantity": 1}]
        assert p._account_infos["2330"] == {"entry_times": 1}

    @pytest.mark.parametrize("bad", [True, 1000.0, "1000", None])
    def test_set_initial_capital_type_rule(self, bad):
        p = Positions()
        with pytest.raises(TypeError, match="capital"):
            p.set_initial_capital(bad)
        assert p.current_capital == 100000


class TestFeeSettings:
    def test_float_fee_changes_only_that_family_fee(self):
        p = Positions()
        p.update_fee_settings("stock", fee=0.0005)
        assert p.fee_settings["stock"]["fee"] == 0.0005
        assert p.fee_settings["future"]["fee"] == 0.00002
        assert p.fee_settings["stock"]["tax"] == 0.003

    @pytest.mark.parametrize(
        "kwargs, arg",
        [({"fee": 1}, "fee"), ({"tax": 0}, "tax"), ({"per_trade_cost": 1.0}, "per_trade_cost"),
         ({"per_trade_cost": True}, "per_trade_cost"), ({"tick_count": False}, "tick_count")],
    )
    def test_type_rule_names_argument_and_changes_nothing(self, kwargs, arg):
        p = Positions()
        before = repr(p.fee_settings)
        with pytest.raises(TypeError, match=arg):
            p.update_fee_settings("stock", **{"action": "buy", **kwargs})
        assert repr(p.fee_settings) == before

    @pytest.mark.parametrize("kwargs", [{"action": 1}, {"action": None}, {"action": "buy", "direction": 2},
                                        {"action": "buy", "direction": None}])
    def test_side_or_direction_of_another_type_is_passed_over(self, kwargs):
        p = Positions()
        p.update_fee_settings("stock", fee=0.5, tax=0.25, tick_count=7, **kwargs)
        stock = p.fee_settings["stock"]
        assert (stock["fee"], stock["tax"]) == (0.5, 0.25)
        buy = stock["slippage"]["buy"]
        assert buy == {"tick_count": 7 if kwargs["action"] == "buy" else 3, "direction": "up"}

    @pytest.mark.parametrize("setting_type", ["Stock", "option", ""])
    def test_unknown_setting_type(self, setting_type):
        p = Positions()
        with pytest.raises(ValueError) as info:
            p.update_fee_settings(setting_type, fee=0.1)
        assert str(info.value) == "不支援的商品類型: " + setting_type
        assert p.fee_settings["stock"]["fee"] == 0.001425

    def test_setting_type_must_be_str(self):
        with pytest.raises(TypeError, match="setting_type"):
            Positions().update_fee_settings(None)

    def test_slippage_updates_follow_action_and_direction(self):
        p = Positions()
        p.update_fee_settings("future", action="sell", tick_count=0, direction="sideways")
        assert p.fee_settings["future"]["slippage"]["sell"] == {"tick_count": 0, "direction": "down"}
        p.update_fee_settings("future", action="buy", direction="down")
        assert p.fee_settings["future"]["slippage"]["buy"] == {"tick_count": 3, "direction": "down"}
        assert p.fee_settings["stock"]["slippage"] == slippage()

    def test_without_valid_action_rates_apply_but_slippage_does_not(self):
        p = Positions()
        p.update_fee_settings("stock", tick_count=7, per_trade_cost=20)
        p.update_fee_settings("stock", action="hold", tick_count=7, tax=0.1)
        assert p.fee_settings["stock"]["slippage"] == slippage()
        assert p.fee_settings["stock"]["per_trade_cost"] == 20
        assert p.fee_settings["stock"]["tax"] == 0.1

    def test_values_are_stored_without_range_checks(self):
        p = Positions()
        p.update_fee_settings("stock", action="buy", fee=-0.5, tick_count=-2)
        assert p.fee_settings["stock"]["fee"] == -0.5
        assert p.fee_settings["stock"]["slippage"]["buy"]["tick_count"] == -2

    def test_reset_sets_per_trade_cost_ten(self):
        p = Positions()
        p.update_fee_settings("stock", fee=0.5)
        p.reset_fee_settings()
        assert p.fee_settings["stock"]["per_trade_cost"] == 10
        assert p.fee_settings["future"]["per_trade_cost"] == 10
        assert p.fee_settings["stock"]["fee"] == 0.001425
        assert Positions().fee_settings["stock"]["per_trade_cost"] == 0

    def test_property_returns_the_live_dict(self):
        p = Positions()
        p.fee_settings["stock"]["fee"] = 0.9
        assert p._fee_settings["stock"]["fee"] == 0.9
        replacement = {"stock": {}}
        p._fee_settings = replacement
        assert p.fee_settings is replacement
        p._fee_settings = None
        assert p.fee_settings is None
        p._fee_settings = [1]
        with pytest.raises(TypeError):
            p.fee_settings


class TestCurrentTick:
    def test_latest_tick_per_code_is_stored_by_reference(self):
        p = Positions()
        first, second = {"code": "2330", "close": 1.0}, {"code": "2330", "close": 2.0}
        p.set_current_tick(first)
        p.set_current_tick(second)
        assert p.current_tick_infos == {"2330": second}
        assert p.current_tick_infos["2330"] is second

    def test_bad_ticks(self):
        p = Positions()
        with pytest.raises(KeyError):
            p.set_current_tick({"close": 1.0})
        with pytest.raises(TypeError, match="tick"):
            p.set_current_tick([("code", "2330")])
        assert p.current_tick_infos == {}


def test_module_level_report_environment():
    env = positions_module.env
    assert env.filters["tojson"]({"a": "b", "n": [1]}) == '{"a": "b", "n": [1]}'
    assert positions_module.template.name == "profit_report.html"
    assert positions_module.static_dir.endswith("static")
    import matplotlib
    assert matplotlib.get_backend().lower() == "agg"
