"""Reproducible runs: the same data, strategy and settings give the same trade records.

Two runs of the demo strategy over the same synthetic market must write byte-identical
trade-record CSV content once each order identifier (random by design) is replaced by the
order's position among the identifiers, and must leave identical profit rows and figures.
"""

from __future__ import annotations

import glob
import os

import pytest

from quarvel.constant import BASIC_INFO

from builders import without_order_ids

backtest = pytest.importorskip("quarvel.backtest")
loop = pytest.importorskip("quarvel.backtest.loop")
ma_cross = pytest.importorskip("quarvel.examples.ma_cross")
pytest.importorskip("quarvel.offline_api")


def run_demo(folder, monkeypatch):
    """One demo backtest with its files under `folder`; returns (result, ledger, csv text)."""
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(folder))
    captured = {}
    make_objects = loop._make_objects

    def keep_ledger(api):
        objects = make_objects(api)
        captured["positions"] = objects[1]
        return objects

    monkeypatch.setattr(loop, "_make_objects", keep_ledger)
    result = backtest.run_backtest(
        ma_cross.MovingAverageCross(), backtest.parse_codes(backtest.DEMO_CODES),
        backtest.DEMO_START, backtest.DEMO_END, progress=False, write_reports=False)
    ledger = captured["positions"]
    ledger.export_trade_records()
    (path,) = glob.glob(os.path.join(str(folder), "trade_records", "*_trade_records.csv"))
    with open(path, "rb") as source:
        return result, ledger, source.read()


@pytest.mark.timeout(600)
def test_demo_strategy_runs_are_reproducible(tmp_path, monkeypatch, printed):
    first, first_ledger, first_csv = run_demo(tmp_path / "first", monkeypatch)
    second, second_ledger, second_csv = run_demo(tmp_path / "second", monkeypatch)

    assert first.deals > 0 and first_ledger._profit_report["rows"], "the demo did not trade"
    assert first_csv != second_csv, "order identifiers should differ between runs"
    assert without_order_ids(first_csv) == without_order_ids(second_csv)
    # repr keeps every float bit, so "identical" means identical.
    assert repr(first_ledger._profit_report) == repr(second_ledger._profit_report)
    assert (first.ticks, first.orders, first.deals, first.realised_profit, first.final_capital) \
        == (second.ticks, second.orders, second.deals, second.realised_profit,
            second.final_capital)
