"""The advanced profit report: daily returns, the benchmark, the profit CSV and the HTML."""

import datetime as dt
import types

import pandas as pd
import pytest

from quarvel.modules.positions import positions as module
from quarvel.modules.positions.positions import Positions
from reports_support import QuoteStandIn, daily_closes, profit_row

EMPTY = "[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"


class ReportRecorder:
    """Takes the place of quantstats_lumi.reports; keeps the arguments of html()."""

    def __init__(self):
        self.calls = []

    def html(self, **kwargs):
        self.calls.append(kwargs)


@pytest.fixture
def reports(monkeypatch):
    recorder = ReportRecorder()
    real = module.qs
    monkeypatch.setattr(module, "qs", types.SimpleNamespace(reports=recorder, utils=real.utils))
    return recorder


def benchmark_quotes():
    closes = [(dt.datetime(2024, 1, d), 100.0 + d) for d in (1, 2, 3, 4, 5, 8, 9)]
    return QuoteStandIn({("0050", "d"): daily_closes("0050", closes)})


def account_with(rows, capital=100000):
    account = Positions()
    account.set_initial_capital(capital)
    account._profit_report["rows"] += rows
    return account


def test_without_rows_nothing_is_written(data_dir, printed, reports):
    account = account_with([profit_row("2317")])
    account.generate_qs_profit_report("2330", benchmark_quotes())
    assert printed.lines == [EMPTY]
    assert reports.calls == [] and not data_dir.exists()


@pytest.mark.filterwarnings("error::FutureWarning")  # no chained-assignment warnings of ours
def test_same_day_exits_are_summed_and_one_day_gets_the_next(data_dir, printed, reports):
    rows = [profit_row(exit="2024-01-02 10:15:02", profit=1000.0),
            profit_row(exit="2024-01-02 13:20:00", profit=-250.0)]
    quotes = benchmark_quotes()
    account_with(rows, 50000).generate_qs_profit_report("2330", quotes)
    (call,) = reports.calls
    returns = call["returns"]
    assert list(returns.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]
    assert list(returns) == [750.0 / 50000, 0.0]
    # benchmark: closes of 0050 from the first to the last day, both included, as returns
    assert quotes.calls == [("0050", "d", 1)]
    bench = call["benchmark"]
    assert list(bench.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]
    assert bench.iloc[1] == pytest.approx(103.0 / 102.0 - 1)
    html = str(data_dir / "sino" / "profit_report" / "2330-profit_report.html")
    assert {k: v for k, v in call.items() if k not in ("returns", "benchmark")} == {
        "rf": 0.04, "title": "進階損益報告", "benchmark_title": "0050",
        "output": html, "download_filename": html,
    }
    csv = html[:-4] + "csv"
    assert printed.lines == [f"[bold green]進階損益報告已產生: {html}[/bold green]",
                             f"[bold green]損益報告 CSV 已產生: {csv}[/bold green]"]


def test_days_are_sorted_and_missing_exits_drop_out(data_dir, reports):
    rows = [profit_row(exit="2024-01-08 09:30:00", profit=300.0),
            profit_row(exit="2024-01-03 09:30:00", profit=100.0),
            dict(profit_row(profit=999.0), exit_dt=None)]
    account_with(rows).generate_qs_profit_report("2330", benchmark_quotes())
    returns = reports.calls[0]["returns"]
    assert list(returns.index) == [pd.Timestamp("2024-01-03"), pd.Timestamp("2024-01-08")]
    assert list(returns) == [0.001, 0.003]
    assert len(reports.calls[0]["benchmark"]) == 4  # 3, 4, 5 and 8 January


def test_profit_csv(data_dir, reports):
    rows = [profit_row(exit="2024-01-02 10:15:02"), dict(profit_row(), exit_dt=None)]
    account_with(rows).generate_qs_profit_report("2330", benchmark_quotes())
    raw = (data_dir / "sino" / "profit_report" / "2330-profit_report.csv").read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    lines = raw[3:].decode("utf-8").splitlines()
    assert lines[0].split(",") == list(profit_row())
    exit_column = lines[0].split(",").index("exit_dt")
    assert lines[1].split(",")[exit_column] == "2024-01-02 10:15:02"
    assert lines[2].split(",")[exit_column] == ""
    assert lines[1].split(",")[0:2] == ["2330", "Buy"]
    assert len(lines) == 3


def test_report_order_does_not_change_the_returns(data_dir, reports):
    rows = [profit_row(exit="2024-01-02 10:15:02", profit=1000.0),
            profit_row(exit="2024-01-04 10:15:02", profit=500.0)]
    account = account_with(rows)
    quotes = benchmark_quotes()
    quotes.tables[("2330", "m")] = daily_closes("2330", [])
    account.generate_qs_profit_report("2330", quotes)
    account.generate_standard_report("2330", quotes)
    account.generate_qs_profit_report("2330", quotes)
    first, second = (call["returns"] for call in reports.calls)
    pd.testing.assert_series_equal(first, second)


def test_missing_benchmark_fails_after_the_csv_is_written(data_dir, reports):
    account = account_with([profit_row()])
    with pytest.raises(KeyError):
        account.generate_qs_profit_report("2330", QuoteStandIn())
    assert (data_dir / "sino" / "profit_report" / "2330-profit_report.csv").exists()
    assert reports.calls == []


@pytest.mark.parametrize("code", [2330, None])
def test_code_must_be_a_str(data_dir, code):
    with pytest.raises(TypeError, match="code"):
        Positions().generate_qs_profit_report(code, QuoteStandIn())


def test_report_library_writes_the_html(data_dir, printed):
    """One real run of quantstats_lumi (slow: a few seconds)."""
    rows = [profit_row(exit=f"2024-01-0{d} 10:15:02", profit=p)
            for d, p in [(2, 1000.0), (3, -400.0), (4, 250.0), (5, 800.0), (8, -120.0)]]
    account_with(rows).generate_qs_profit_report("2330", benchmark_quotes())
    html = (data_dir / "sino" / "profit_report" / "2330-profit_report.html").read_text("utf-8")
    assert "進階損益報告" in html and "0050" in html
    assert printed.lines[-2].startswith("[bold green]進階損益報告已產生: ")
