"""The position book: opening, covering first-in first-out, capital, statistics, lines."""

import pytest

from quarvel.constant import Action, PriceType
from quarvel.modules.positions.positions import Positions

from builders import deal

ENTRY_COST_600 = 0.001425 * 1 * 1000 * 603.0          # 859.275
EXIT_FEE_610 = 0.001425 * 1 * 1000 * 607.0            # 864.975
EXIT_TAX_610 = 0.003 * 1 * 1000 * 607.0                # 1821.0


@pytest.fixture
def p():
    return Positions()


def quantities(p, code="2330"):
    book = p.positions[code]
    return [e["quantity"] for e in book["buy"]], [e["quantity"] for e in book["sell"]]


class TestOpening:
    def test_first_buy(self, p, printed):
        trade = deal("Buy", 1, 600.0)
        p.set_positions(trade, "Stock")
        assert p.current_capital == 100000 - (603.0 * 1000 + ENTRY_COST_600 + 0)
        assert p.current_capital == -503859.275
        assert p.positions["2330"]["buy"] == [trade]
        assert p.positions["2330"]["buy"][0] is not trade
        assert p.product_type_mapper == {"2330": "Stock"}
        assert p._account_infos["2330"]["entry_times"] == 1
        assert p._profit_report == {"profit": 0, "rows": []}
        assert printed.lines == [
            "[bold pink1][做多進場]本金: 100000, 進場價金: 603000.0, 進場成本: 859.275"
            "[/bold pink1]"]

    def test_short_entry_line_and_capital(self, p, printed):
        p.reset_fee_settings()
        p.set_positions(deal("Sell", 2, 610.0), "Stock")
        fee = 0.001425 * 2 * 1000 * 607.0
        assert p.current_capital == 100000 - ((607.0 * 2000 + fee) + 10)
        assert printed.lines == [
            f"[bold pink1][做空進場]本金: 100000, 應付金額: 1214000.0, "
            f"進場成本: {fee + 10}[/bold pink1]"]

    def test_same_side_adds_entries_and_codes_stay_apart(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 2, 601.0), "Stock")
        p.set_positions(deal("Sell", 1, 50.0, code="2303"), "Stock")
        assert quantities(p) == ([1, 2], [])
        assert quantities(p, "2303") == ([], [1])
        assert p._account_infos["2330"]["cover_times"] == 0
        assert p._profit_report["rows"] == []

    def test_matcher_record_is_never_changed(self, p, printed):
        long_entry = deal("Buy", 1, 600.0)
        p.set_positions(long_entry, "Stock")
        cover = deal("Sell", 3, 610.0)
        p.set_positions(cover, "Stock")
        assert long_entry["quantity"] == 1 and cover["quantity"] == 3
        assert p.positions["2330"]["sell"][0]["quantity"] == 2

    def test_nested_values_are_deep_copied(self, p, printed):
        trade = deal("Buy", 1, 600.0)
        trade["extra"] = {"tags": ["a"]}
        p.set_positions(trade, "Stock")
        stored = p.positions["2330"]["buy"][0]
        assert stored == trade
        assert stored["extra"] is not trade["extra"]
        assert stored["extra"]["tags"] is not trade["extra"]["tags"]
        assert stored["price_type"] is PriceType.LMT

    def test_records_with_containers_go_through_copy_deepcopy(self, p, printed, monkeypatch):
        import copy

        from quarvel.modules.positions import positions as positions_module
        seen = []

        class Spy:
            @staticmethod
            def deepcopy(value):
                seen.append(value)
                return copy.deepcopy(value)

        monkeypatch.setattr(positions_module, "copy", Spy)
        flat, nested = deal("Buy", 1, 600.0), deal("Buy", 1, 600.0)
        nested["extra"] = [1]
        p.set_positions(flat, "Stock")
        p.set_positions(nested, "Stock")
        assert seen == [nested]


class TestRoundTrips:
    def test_long_round_trip(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0, ts=1.0), "Stock")
        printed.clear()
        p.set_positions(deal("Sell", 1, 610.0, ts=2.0), "Stock")
        assert p.current_capital == 100454.75
        assert quantities(p) == ([], [])
        [row] = p._profit_report["rows"]
        assert row == {
            "code": "2330", "entry_action": "Buy", "entry_dt": 1.0, "entry_price": 603.0,
            "entry_origin_price": 600.0, "exit_action": "Sell", "exit_dt": 2.0,
            "exit_price": 607.0, "exit_origin_price": 610.0, "qty": 1, "min_qty": 1000,
            "trade_cost": ENTRY_COST_600, "cover_cost": EXIT_FEE_610 + EXIT_TAX_610,
            "cover_cost_fee": EXIT_FEE_610, "cover_cost_tax": EXIT_TAX_610,
            "cover_cost_fixed": 0, "trade_cost_fee": ENTRY_COST_600, "trade_cost_tax": 0,
            "trade_cost_fixed": 0, "profit": 454.75,
            "profit_ratio": 454.75 / (603000.0 + ENTRY_COST_600),
            "entry_amount": 603000.0, "exit_amount": 607000.0}
        assert row["profit_ratio"] == pytest.approx(0.000753073, abs=1e-9)
        assert p._profit_report["profit"] == 454.75
        info = p._account_infos["2330"]
        assert info == {"entry_times": 1, "cover_times": 1, "entry_amount": 603000.0,
                        "exit_amount": 607000.0, "net_profit": 0,
                        "extra_fee": ENTRY_COST_600 + 2685.975, "profit_times": 1,
                        "loss_times": 0, "profit_total": 454.75, "loss_total": 0,
                        "profit": 454.75}
        assert printed.lines[0].startswith("[green]沖銷部位: {'operation_type': 'New'")
        assert "'action': 'Sell'" in printed.lines[0]
        assert "'price_type': 'LMT'" in printed.lines[0]
        assert printed.lines[1].startswith("[yellow]被沖銷部位: {") and \
            "'action': 'Buy'" in printed.lines[1]
        assert printed.lines[2] == ("[bold yellow][做多沖銷]本金: -503859.275, 回收價金: "
                                    "607000.0, 損益: 454.75, 出場成本: 2685.975[/bold yellow]")

    def test_short_round_trip(self, p, printed):
        p.set_positions(deal("Sell", 1, 610.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        assert p.current_capital == 100466.75
        [row] = p._profit_report["rows"]
        assert (row["entry_price"], row["exit_price"]) == (607.0, 603.0)
        assert row["profit"] == 466.75
        assert row["profit_ratio"] == pytest.approx(0.000770043, abs=1e-9)
        assert row["profit_ratio"] == 466.75 / (607000.0 - EXIT_FEE_610)
        assert printed.lines[-1].startswith("[bold yellow][做空沖銷]本金: ")
        assert ", 出場價金: 603000.0, 損益: 466.75, " in printed.lines[-1]

    def test_action_enum_members_book_like_strings(self, p, printed):
        p.set_positions(deal(Action.SELL, 1, 610.0), "Stock")
        p.set_positions(deal(Action.BUY, 1, 600.0), "Stock")
        assert p.current_capital == 100466.75
        assert "'action': 'Buy'" in printed.lines[1]

    def test_zero_profit_counts_as_loss(self, p, printed):
        for side in ("buy", "sell"):
            p.update_fee_settings("stock", action=side, fee=0.0, tax=0.0, tick_count=0)
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Sell", 1, 600.0), "Stock")
        info = p._account_infos["2330"]
        assert (info["profit_times"], info["loss_times"]) == (0, 1)
        assert info["loss_total"] == 0.0 and info["profit"] == 0.0
        assert p.current_capital == 100000


class TestChunks:
    def test_partial_cover_leaves_oldest_remainder(self, p, printed):
        p.set_positions(deal("Buy", 2, 600.0), "Stock")
        p.set_positions(deal("Buy", 3, 600.0), "Stock")
        result = p._Positions__calculate_profit(deal("Sell", 4, 610.0), "Stock")
        assert quantities(p) == ([1], [])
        assert [r["qty"] for r in p._profit_report["rows"]] == [2, 2]
        assert result["is_covered"] is True and result["un_cover_qty"] == 0
        assert result["origin_profit"] == 0 and type(result["origin_profit"]) is int
        assert list(result) == ["entry_total", "exit_total", "origin_profit",
                                "entry_cost_total", "exit_cost_total", "cost", "profit",
                                "is_covered", "un_cover_qty"]
        assert result["entry_total"] == 603000.0 * 4
        assert len(printed.lines) == 2 + 4
        # Each chunk shows the whole deal and the entry before it is decreased.
        assert "'quantity': 4" in printed.lines[2] and "'quantity': 2" in printed.lines[3]
        assert "'quantity': 4" in printed.lines[4] and "'quantity': 3" in printed.lines[5]

    def test_failure_in_a_later_chunk_keeps_earlier_chunks(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.positions["2330"]["buy"][1]["action"] = "Hold"
        capital = p.current_capital
        with pytest.raises(KeyError, match="hold"):
            p.set_positions(deal("Sell", 2, 610.0), "Stock")
        assert quantities(p) == ([1], [])
        assert len(p._profit_report["rows"]) == 1
        assert p.current_capital == capital and p._profit_report["profit"] == 0
        assert p._account_infos["2330"]["cover_times"] == 0

    def test_uncovered_remainder_is_reported(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        result = p._Positions__calculate_profit(deal("Sell", 5, 610.0), "Stock")
        assert (result["is_covered"], result["un_cover_qty"]) == (False, 3)
        assert p.positions["2330"]["buy"] == []

    def test_nothing_to_cover_keeps_integer_zeros(self, p, printed):
        p.positions["2330"] = {"buy": [], "sell": []}
        result = p._Positions__calculate_profit(deal("Sell", 2, 610.0), "Stock")
        assert result == {"entry_total": 0, "exit_total": 0, "origin_profit": 0,
                          "entry_cost_total": 0, "exit_cost_total": 0, "cost": 0,
                          "profit": 0, "is_covered": False, "un_cover_qty": 2}
        assert all(type(v) is int for k, v in result.items() if k != "is_covered")

    def test_reversal_covers_then_opens_remainder(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Sell", 3, 610.0), "Stock")
        assert quantities(p) == ([], [1])
        info = p._account_infos["2330"]
        assert (info["entry_times"], info["cover_times"]) == (3, 1)
        assert len(p._profit_report["rows"]) == 2
        short_fee = 0.001425 * 1 * 1000 * 607.0
        exit_cost = (EXIT_FEE_610 + EXIT_TAX_610) + 0
        capital = 100000 - ((603000.0 + ENTRY_COST_600) + 0) - ((603000.0 + ENTRY_COST_600) + 0)
        # The cover adds the exit value less its cost, then the short opens with 1 lot.
        capital += (607000.0 + 607000.0) - (exit_cost + exit_cost)
        capital -= (607000.0 + short_fee) + 0
        assert p.current_capital == capital
        lines = [line for line in printed.lines if line.startswith("[bold")]
        assert lines[-2].startswith("[bold yellow][做多沖銷]")
        assert lines[-1].startswith("[bold pink1][做空進場]")

    def test_exact_cover_opens_nothing(self, p, printed):
        p.set_positions(deal("Buy", 2, 600.0), "Stock")
        p.set_positions(deal("Sell", 2, 610.0), "Stock")
        assert quantities(p) == ([], [])
        assert p._account_infos["2330"]["entry_times"] == 1

    def test_fixed_cost_counted_per_chunk(self, p, printed):
        p.reset_fee_settings()
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Sell", 2, 610.0), "Stock")
        rows = p._profit_report["rows"]
        assert [(r["trade_cost_fixed"], r["cover_cost_fixed"]) for r in rows] == [(10, 10)] * 2
        assert rows[0]["cover_cost"] == (EXIT_FEE_610 + EXIT_TAX_610) + 10


class TestSettingsAndProducts:
    def test_fee_change_between_entry_and_cover(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.update_fee_settings("stock", fee=0.002, per_trade_cost=5)
        p.set_positions(deal("Sell", 1, 610.0), "Stock")
        [row] = p._profit_report["rows"]
        entry_fee, exit_fee = 0.002 * 1 * 1000 * 603.0, 0.002 * 1 * 1000 * 607.0
        assert (row["trade_cost_fee"], row["cover_cost_fee"]) == (entry_fee, exit_fee)
        assert row["trade_cost"] == entry_fee + 5
        exit_cost = (exit_fee + EXIT_TAX_610) + 5
        assert row["profit"] == (607000.0 - 603000.0) - ((entry_fee + 5) + exit_cost)
        # The entry was charged at the old rate; only the cover uses the new one.
        assert p.current_capital == -503859.275 + (607000.0 - exit_cost)

    def test_future_missing_from_table_uses_2000(self, p, printed):
        p.set_positions(deal("Buy", 1, 17000.0, code="ZZF", product_type="Future"), "Future")
        entry_fee = 0.00002 * 1 * 2000 * 17015.0
        assert p.current_capital == 100000 - (17015.0 * 2000 + entry_fee)
        p.set_positions(deal("Sell", 1, 17100.0, code="ZZF", product_type="Future"), "Future")
        [row] = p._profit_report["rows"]
        assert (row["min_qty"], row["exit_price"]) == (2000, 17085.0)
        assert p.product_type_mapper == {"ZZF": "Future"}

    def test_future_in_table_uses_its_contract_value(self, p, printed):
        p.set_positions(deal("Sell", 2, 17000.0, code="TXF", product_type="Future"), "Future")
        p.set_positions(deal("Buy", 2, 16900.0, code="TXF", product_type="Future"), "Future")
        [row] = p._profit_report["rows"]
        assert (row["qty"], row["min_qty"]) == (2, 400)
        assert (row["entry_price"], row["exit_price"]) == (16985.0, 16915.0)
        entry_cost = 0.00002 * 2 * 200 * 16985.0
        exit_cost = 0.00002 * 2 * 200 * 16915.0 + 0.00002 * 2 * 200 * 16915.0
        assert row["profit"] == (16985.0 * 400 - 16915.0 * 400) - (entry_cost + exit_cost)

    def test_product_type_of_first_deal_is_kept(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        p.set_positions(deal("Buy", 1, 600.0), "Future")
        assert p.product_type_mapper == {"2330": "Stock"}


class TestBadInput:
    def test_unknown_product_type_changes_nothing(self, p, printed):
        with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
            p.set_positions(deal("Buy", 1, 600.0), "Bond")
        assert p.positions == {} and p._account_infos == {} and p.product_type_mapper == {}
        assert p.current_capital == 100000 and printed.lines == []

    def test_unknown_product_type_on_cover_changes_nothing(self, p, printed):
        p.set_positions(deal("Buy", 1, 600.0), "Stock")
        with pytest.raises(Exception, match="不支援的商品類型: stock"):
            p.set_positions(deal("Sell", 1, 610.0), "stock")
        assert quantities(p) == ([1], [])
        assert p._profit_report["rows"] == [] and p.current_capital == -503859.275

    @pytest.mark.parametrize("missing", ["code", "action", "price", "quantity"])
    def test_missing_key(self, p, printed, missing):
        trade = deal("Buy", 1, 600.0)
        del trade[missing]
        with pytest.raises(KeyError, match=missing):
            p.set_positions(trade, "Stock")
        assert p.current_capital == 100000
        assert p.positions in ({}, {"2330": {"buy": [], "sell": []}})

    @pytest.mark.parametrize("trade, product_type, name", [
        ([("code", "2330")], "Stock", "trade"),
        (None, "Stock", "trade"),
        ({"code": "2330"}, None, "product_type"),
    ])
    def test_argument_types_change_nothing(self, p, trade, product_type, name):
        with pytest.raises(TypeError, match=name):
            p.set_positions(trade, product_type)
        assert p.positions == {} and p.product_type_mapper == {} and p._account_infos == {}

    def test_bad_cover_quantity_leaves_book_untouched(self, p, printed):
        p.set_positions(deal("Buy", 2, 600.0), "Stock")
        with pytest.raises(TypeError, match="quantity"):
            p.set_positions(deal("Sell", 1.0, 610.0), "Stock")
        assert quantities(p) == ([2], [])
        assert p._profit_report["rows"] == []
