"""Whole runs under the Taiwan rules: the CLI, run_backtest and the standard report."""

import os
import re
import subprocess
import sys

import polars as pl
import pytest

from matcher_support import package_root
from quarvel import backtest
from quarvel.examples.ma_cross import MovingAverageCross

from shared_data import SHARED_TICKS

needs_ticks = pytest.mark.skipif(not SHARED_TICKS.is_dir(), reason="real tick files not available")


def summary_value(text, label):
    match = re.search(rf"│\s+{re.escape(label)}\s+│ ([-\d,.]+)", text)
    assert match, f"{label} missing from the summary"
    return float(match.group(1).replace(",", ""))


@pytest.mark.timeout(600)
@needs_ticks
def test_cli_net_equals_gross_less_costs_on_real_days(tmp_path):
    """The example strategy over two real TXFR1 days: the summary's costs add up."""
    env = dict(os.environ, PYTHONPATH=package_root(), PYTHONUTF8="1", COLUMNS="160")
    done = subprocess.run(
        [sys.executable, "-m", "quarvel.backtest", "--demo", "--ticks-dir", str(SHARED_TICKS),
         "--codes", "TXFR1:Future", "--start", "2025-01-02", "--end", "2025-01-03",
         "--capital", "1000000", "--rules", "taiwan", "--quiet", "--no-progress",
         "--data-dir", str(tmp_path / "data")],
        capture_output=True, text=True, timeout=580, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    out = done.stdout
    assert re.search(r"│ market rules\s+│ taiwan", out)
    assert summary_value(out, "tx_original_margin") == 338000
    gross = summary_value(out, "gross before costs")
    costs = re.search(r"│\s+fees \+ taxes \+ slippage\s+│ ([-\d,.]+) \+ ([-\d,.]+) \+ "
                      r"([-\d,.]+) = ([-\d,.]+)", out)
    fees, taxes, slippage, total = (float(g.replace(",", "")) for g in costs.groups())
    assert fees > 0 and taxes > 0 and slippage > 0
    assert summary_value(out, "realised profit") == pytest.approx(gross - total, abs=0.01)
    # Slippage moves whole index points: 3 points × 200 per leg, two legs a round trip.
    assert slippage % 1200 == 0
    (report_path,) = (tmp_path / "data").glob("runs/*/TXFR1-report.html")
    report = report_path.read_text(encoding="utf-8")
    assert 'id="rules-table"' in report and "tx_original_margin" in report


@pytest.mark.timeout(600)
@needs_ticks
def test_default_rules_leave_a_run_unchanged(data_dir, printed):
    def run(**kwargs):
        return backtest.run_backtest(MovingAverageCross(), backtest.parse_codes("TXFR1:Future"),
                                     "2025-01-02", "2025-01-02", ticks_dir=str(SHARED_TICKS),
                                     write_reports=False, progress=False, **kwargs)

    plain, named = run(), run(rules="default")
    assert (plain.final_capital, plain.realised_profit) == (named.final_capital, named.realised_profit)
    assert dict(named.cost_rows)["market rules"] == "default"
    # The same day under Taiwan rules with too little cash for one contract: every entry is
    # refused and nothing is booked.
    poor = run(rules="taiwan", initial_capital=100_000)
    assert poor.deals == 0 and poor.final_capital == 100_000
    assert any("不足" in str(line) for line in printed.lines)


@pytest.mark.timeout(900)
@needs_ticks
def test_net_profit_and_equity_on_the_five_real_days(data_dir, printed):
    """All five real days (not contiguous, so the run is reported incomplete, not stopped).
    The equity curve holds the margined contract at its unrealised profit, not its value."""
    result = backtest.run_backtest(
        MovingAverageCross(), backtest.parse_codes("TXFR1:Future"), "2024-12-16", "2025-02-03",
        ticks_dir=str(SHARED_TICKS), write_reports=False, progress=False, strict=False,
        initial_capital=1_000_000, rules="taiwan")
    m = result.metrics
    gross = float(dict(result.cost_rows)["gross before costs"].replace(",", ""))
    assert m["fees"] > 0 and m["taxes"] > 0 and m["slippage_cost"] > 0
    assert result.realised_profit == pytest.approx(
        gross - (m["fees"] + m["taxes"] + m["slippage_cost"]), abs=0.01)
    curve = result.equity
    held = curve.filter(pl.col("open_qty") != 0)
    assert held.height and held["position_value"].abs().max() < 338_000
    assert (curve["cash"] + curve["position_value"] - curve["equity"]).abs().max() < 1e-6
    assert curve["cash"][-1] == pytest.approx(float(result.final_capital), abs=0.01)
