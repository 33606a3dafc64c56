"""Whole backtests through the driver: the ledger, the reports and the exchange agree."""

import csv
import gc
import glob
import os

import pytest

from quarvel import backtest
from quarvel.backtest import loop

from shared_data import SHARED_TICKS


class ScriptedStrategy:
    """Places one order of every kind per code at fixed tick counts."""

    def on_start(self, context):
        self.seen = {}
        self.reports = []
        self.far_order = {}

    def on_report(self, context, report):
        self.reports.append(report)

    def on_tick(self, context, tick):
        code, market, close = tick["code"], tick["market_type"], tick["close"]
        n = self.seen[code] = self.seen.get(code, 0) + 1
        m = context.matcher
        if n == 10:
            m.add_order(code, market, "Buy", close * 1.05, 3, "LMT", "ROD")
        elif n == 40:
            m.add_order(code, market, "Sell", close * 0.95, 2, "LMT", "IOC")
        elif n == 60:
            m.add_order(code, market, "Sell", close * 0.95, 10**6, "LMT", "FOK")
        elif n == 80:
            m.add_order(code, market, "Sell", close * 0.5, 1, "LMT", "ROD")  # far away: rests
            self.far_order[code] = m.pending_orders[-1]["trade_id"]
        elif n == 90:
            m.modify_order(self.far_order[code], None, close * 0.6)
        elif n == 100:
            m.cancel_order(self.far_order[code])
        elif n == 120:
            m.add_order(code, market, "Sell", close * 0.95, 3, "LMT", "ROD")  # reverses to short
        elif n == 200:
            m.add_pending_order_queue(
                "add", {"code": code, "product_type": market, "action": "Buy",
                        "price": close * 1.05, "qty": 1, "price_type": "LMT", "order_type": "IOC"})


def entry_outlay(positions):
    total = 0.0
    for code, book in positions.positions.items():
        product_type = positions.product_type_mapper[code]
        for side in ("buy", "sell"):
            for entry in book[side]:
                cost = positions._Positions__calculate_trade_cost(
                    code, entry["action"], entry["price"], entry["quantity"], product_type,
                    True, False)
                total += cost["price"] * cost["min_qty"] + cost["fee"] + cost["fixed_cost"]
    return total


@pytest.fixture
def run(data_dir, printed):
    def go(strategy, codes, start, end, **kwargs):
        return backtest.run_backtest(strategy, backtest.parse_codes(codes), start, end,
                                     progress=False, **kwargs)
    return go


@pytest.mark.timeout(300)
def test_ledger_reports_and_exchange_agree(run, data_dir):
    strategy = ScriptedStrategy()
    captured = {}
    original = loop._write_reports

    def keep_objects(result, positions, quote_manager, codes):
        captured["positions"] = positions
        original(result, positions, quote_manager, codes)

    loop._write_reports = keep_objects
    try:
        result = run(strategy, "2330:Stock,TXFR1:Future,0050:Stock", "2024-01-02", "2024-01-03")
    finally:
        loop._write_reports = original
    positions = captured["positions"]

    deals = [r for r in strategy.reports if "exchange_seqno" in r]
    cancels = [r for r in strategy.reports if str(r.get("operation_type")) == "Cancel"]
    assert result.ticks > 1000 and result.deals == len(deals) and deals
    assert cancels, "the FOK, IOC and explicit cancels must report"
    deal_records = [t for t in positions.trade_records if t["trade_status"] == "Deal"]
    assert sorted((d["id"], d["quantity"]) for d in deals) == sorted(
        (t["trade_id"], t["quantity"]) for t in deal_records)

    rows = positions._profit_report["rows"]
    assert rows
    assert sum(r["profit"] for r in rows) == pytest.approx(positions._profit_report["profit"])
    expected = positions.initial_capital + positions._profit_report["profit"] - entry_outlay(positions)
    assert positions.current_capital == pytest.approx(expected, rel=1e-12, abs=1e-6)

    assert result.trade_records_path and os.path.exists(result.trade_records_path)
    with open(result.trade_records_path, newline="", encoding="utf-8") as handle:
        assert len(list(csv.DictReader(handle))) == len(positions.trade_records)
    for code in ("2330", "TXFR1", "0050"):
        assert os.path.exists(result.reports[code]["standard"])
    traded = [c for c in ("2330", "TXFR1") if positions.get_profit_rows_by_code(c)]
    assert traded
    for code in traded:
        assert result.reports[code]["advanced"] and os.path.exists(result.reports[code]["advanced"])


class Exploding:
    def on_tick(self, context, tick):
        self.spared = gc.get_freeze_count()
        if context.ticks == 25:
            raise ZeroDivisionError("boom")


@pytest.mark.timeout(120)
def test_strategy_error_names_the_tick_and_stops(run, data_dir):
    strategy = Exploding()
    with pytest.raises(backtest.StrategyError) as info:
        run(strategy, "2330:Stock", "2024-01-02", "2024-01-02")
    message = str(info.value)
    assert "2330" in message and "ZeroDivisionError: boom" in message and "close=" in message
    assert not glob.glob(str(data_dir / "**" / "*.tmp*"), recursive=True)
    # The objects set aside from the collector during the replay are handed back.
    assert strategy.spared > 0 and gc.get_freeze_count() == 0


@pytest.mark.timeout(300)
@pytest.mark.skipif(not SHARED_TICKS.is_dir(), reason="real tick files not available")
def test_demo_strategy_on_real_futures_days(run, data_dir):
    from quarvel.examples.ma_cross import MovingAverageCross

    result = run(MovingAverageCross(), "TXFR1:Future", "2025-01-02", "2025-01-03",
                 ticks_dir=str(SHARED_TICKS), write_reports=False)
    assert result.ticks == 85136 + 86125
    assert result.orders > 0


def test_demo_range_comes_from_the_tick_folder(tmp_path):
    for name in ("TXFR1 2025-01-08 - ticks.csv", "TXFR1 2025-01-02 - ticks.csv",
                 "MXFR1 2024-01-01 - ticks.csv", "notes.txt"):
        (tmp_path / name).write_text("")
    codes = backtest.parse_codes("TXFR1:Future")
    assert backtest.days_in_folder(str(tmp_path), codes) == ("2025-01-02", "2025-01-08")
    assert backtest.days_in_folder(str(tmp_path / "missing"), codes) == (None, None)


def test_parse_codes_and_cli_errors(capsys):
    assert backtest.parse_codes("2330:Stock, TXFR1:Future") == [
        {"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    for bad in ("", "2330:Option", ":Stock"):
        with pytest.raises(ValueError):
            backtest.parse_codes(bad)
    with pytest.raises(SystemExit):
        backtest.main(["--codes", "2330:Stock"])
    assert "--strategy" in capsys.readouterr().err
