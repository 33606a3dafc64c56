"""The run as data: frames, metrics, the quiet console, the plot and the honest reports."""

import contextlib
import datetime as dt
import os
import subprocess
import sys
import time

import polars as pl
import pytest

from quarvel import backtest
from quarvel.backtest import frames, metrics
from quarvel.examples.ma_cross import MovingAverageCross

from reports_support import profit_row
from matcher_support import package_root

SRC = package_root()  # the build the tests import, also in subprocesses


@contextlib.contextmanager
def market_run(tmp_path_factory, name):
    """A run as the command line makes it: Taiwan time and its own data folder."""
    from quarvel.constant import BASIC_INFO

    saved_dir, saved_zone = BASIC_INFO.data_dir, os.environ.get("TZ")
    BASIC_INFO.data_dir = str(tmp_path_factory.mktemp(name) / "data")
    backtest.use_timezone()
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved_dir
        if saved_zone is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved_zone
        time.tzset()


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """The demo as a notebook runs it (one run shared by the checks below)."""
    with market_run(tmp_path_factory, "demo"):
        return backtest.run_backtest(
            MovingAverageCross(), backtest.parse_codes(backtest.DEMO_CODES),
            backtest.DEMO_START, backtest.DEMO_END, initial_capital=backtest.DEMO_CAPITAL,
            progress=False)


@pytest.mark.timeout(300)
def test_demo_hands_back_frames_that_agree_with_the_ledger(demo):
    assert dict(demo.trades.schema) == frames.TRADES_SCHEMA
    assert dict(demo.round_trips.schema) == frames.ROUND_TRIPS_SCHEMA
    assert dict(demo.equity.schema) == frames.EQUITY_SCHEMA
    assert list(demo.metrics) == list(metrics.METRIC_KEYS)
    assert demo.trades.filter(pl.col("trade_status") == "Deal").height == demo.deals
    assert demo.round_trips["profit"].sum() == pytest.approx(demo.realised_profit, abs=1e-6)
    # The curve's cash is derived from marks and realised profits; the ledger keeps its own.
    last = demo.equity.row(-1, named=True)
    assert last["cash"] == pytest.approx(demo.final_capital, abs=1e-4)
    assert last["equity"] == pytest.approx(demo.final_equity)
    assert demo.metrics["net_profit"] == pytest.approx(demo.final_equity - demo.initial_capital)
    assert demo.equity["dt"].is_sorted() and demo.equity["drawdown"].max() <= 0
    assert demo.trades.to_pandas().shape == demo.trades.shape


@pytest.mark.timeout(300)
def test_demo_outputs_say_what_they_can_and_cannot_show(demo):
    with open(demo.plot_path, "rb") as image:
        assert image.read(8) == b"\x89PNG\r\n\x1a\n"
    log = open(demo.log_path, encoding="utf-8").read()
    assert log.count("新增委託單") == demo.orders and "[green]" not in log
    reports = demo.reports
    traded = open(reports["TXFR1"]["standard"], encoding="utf-8").read()
    untraded = open(reports["0050"]["standard"], encoding="utf-8").read()
    assert "data:image/png;base64," in traded and 'id="qs-link"' in traded
    assert reports["0050"]["advanced"] is None and "qs-link" not in untraded
    advanced = open(reports["TXFR1"]["advanced"], encoding="utf-8").read()
    assert "Benchmark: 0050" in advanced and "3 trading day(s), fewer than 20" in advanced
    assert f"max drawdown {demo.metrics['max_drawdown']:,.2f}" in advanced
    assert any("fewer than 20" in note for note in demo.notes)


class RoundTrip:
    """Buys one lot of 2330 at market on its 100th tick, sells it on its 600th; tries the
    other helpers on the way."""

    def on_start(self, context):
        self.seen = 0
        self.checks = {}

    def on_tick(self, context, tick):
        if tick["code"] != "2330":
            return
        self.seen += 1
        if self.seen == 100:
            self.checks["buy_id"] = context.buy("2330", 1)
            far = context.sell("2330", 1, tick["close"] * 1.05)
            resting = [o["trade_id"] for o in context.matcher.pending_orders]
            context.cancel(far)
            self.checks["far_rested"] = far in resting
            self.checks["far_gone"] = all(o["trade_id"] != far
                                          for o in context.matcher.pending_orders)
        elif self.seen == 300:
            held = context.position("2330")
            context.positions.fetch_positions("Stock")
            (ledger,) = context.positions.pop_positions()
            self.checks["position"] = (held, ledger["quantity"], ledger["avg_price"], ledger["pnl"])
            self.checks["bars"] = (context.bars("2330", n=5),
                                   context.quote_manager.get_kbar("2330", unit="m", freq=1))
        elif self.seen == 600:
            context.sell("2330", 1)

    def on_end(self, context):
        self.checks["bars_2330"] = context.bars("2330").to_polars()

    def on_report(self, context, report):
        if "exchange_seqno" in report and "buy_deal" not in self.checks:
            self.checks["buy_deal"] = report["id"]


@pytest.fixture(scope="module")
def round_trip(tmp_path_factory):
    strategy = RoundTrip()
    with market_run(tmp_path_factory, "round"):
        result = backtest.run_backtest(strategy, backtest.parse_codes("2330:Stock"),
                                       "2024-01-02", "2024-01-02", progress=False,
                                       initial_capital=1_000_000, write_reports=False)
    result.bars_2330 = strategy.checks.pop("bars_2330")
    return result, strategy.checks


@pytest.mark.timeout(120)
def test_context_helpers_are_the_ledger_and_exchange_calls(round_trip):
    result, checks = round_trip
    assert checks["buy_id"] == checks["buy_deal"]
    assert checks["far_rested"] and checks["far_gone"]
    held, quantity, avg_price, pnl = checks["position"]
    assert (held.quantity, round(held.avg_price, 2)) == (quantity, avg_price) == (1, avg_price)
    assert held.pnl == pytest.approx(pnl)
    last5, whole = checks["bars"]
    assert last5.to_polars().equals(whole.tail(5))


@pytest.mark.timeout(120)
def test_one_round_trip_by_hand(round_trip):
    result, _ = round_trip
    (trip,) = result.round_trips.iter_rows(named=True)
    deals = result.trades.filter(pl.col("trade_status") == "Deal")
    buy, sell = deals["price"].to_list()
    # 2330 trades between 500 and 1000: one tick is 1.0, slippage 3 ticks against us.
    entry, exit_ = buy + 3.0, sell - 3.0
    fee_in, fee_out, tax = 0.001425 * 1000 * entry, 0.001425 * 1000 * exit_, 0.003 * 1000 * exit_
    profit = (exit_ - entry) * 1000 - fee_in - fee_out - tax
    assert (trip["entry_raw_price"], trip["exit_raw_price"]) == (buy, sell)
    assert trip["profit"] == pytest.approx(profit)
    m = result.metrics
    assert m["fees"] == pytest.approx(fee_in + fee_out) and m["taxes"] == pytest.approx(tax)
    assert m["slippage_cost"] == pytest.approx(6000.0)
    assert m["net_profit"] == pytest.approx(profit) and m["round_trips"] == 1
    assert m["return_pct"] == pytest.approx(profit / 1_000_000 * 100)
    assert (m["sharpe"], m["sortino"]) == (None, None)
    # Marked to each minute's close while held; flat before and after.
    minutes = result.equity.filter(pl.col("event") == "minute")
    held = minutes.filter(pl.col("open_qty") == 1)
    assert held.height > 0
    row = held.row(held.height // 2, named=True)
    bars = result.bars_2330
    mark = bars.filter(pl.col("dt") == row["dt"] - dt.timedelta(minutes=1))["Close"].item()
    assert row["position_value"] == pytest.approx(mark * 1000)
    assert row["equity"] == pytest.approx(1_000_000 + (mark - entry) * 1000 - fee_in)
    assert m["exposure_pct"] == pytest.approx(held.height / minutes.height * 100)
    assert result.equity["equity"][-1] == pytest.approx(1_000_000 + profit)
    assert m["max_drawdown"] == pytest.approx(
        (result.equity["equity"] - result.equity["equity"].cum_max().clip(1_000_000)).min())


ROWS = [profit_row(profit=p) for p in (454.75, -1000.0, 300.0, 0.0)]


@pytest.mark.parametrize("name, expected", [
    ("win_rate", 0.5),                    # a zero profit counts as a loss
    ("profit_factor", 754.75 / 1000.0),
    ("avg_win", 377.375),
    ("avg_loss", -500.0),
    ("largest_loss", -1000.0),
    ("fees", 4 * (859.275 + 864.975)),
    ("taxes", 4 * 1821.0),
    ("slippage_cost", 4 * 6000.0),       # 3 ticks of 1.0 on 1000 shares, both legs
])
def test_round_trip_metrics_by_hand(name, expected):
    trips = frames.round_trips_frame(ROWS)
    no_curve = pl.DataFrame(schema=frames.EQUITY_SCHEMA)
    value = metrics.compute_metrics(no_curve, trips, 100_000.0, [], 245.0)[name]
    assert value == pytest.approx(expected)


@pytest.mark.parametrize("returns, sharpe, sortino", [
    ([0.01, -0.005] * 10, 5.085382100797453, 11.067971810589327),
    ([0.01, -0.005] * 9 + [0.01], None, None),   # 19 days: too few to annualise
    ([0.002] * 25, None, None),                   # no variation, no down day
])
def test_ratios_by_hand(returns, sharpe, sortino):
    for got, want in ((metrics.sharpe(returns, 245), sharpe),
                      (metrics.sortino(returns, 245), sortino)):
        assert got == (pytest.approx(want) if want is not None else None)


def _curve(points):
    stamps = [dt.datetime.fromisoformat(t) for t, _ in points]
    values = [v for _, v in points]
    down, down_pct = metrics.drawdown(pl.Series(values, dtype=pl.Float64), 1000.0)
    return pl.DataFrame({"dt": stamps, "equity": values, "drawdown": down,
                         "drawdown_pct": down_pct}, schema_overrides={"dt": pl.Datetime("us")})


def test_day_ends_drawdown_and_exposure_by_hand():
    curve = _curve([("2024-01-02 09:00", 1000.0), ("2024-01-02 13:00", 1100.0),
                    # the night session after 15:00 belongs to the next trading day
                    ("2024-01-02 15:30", 880.0), ("2024-01-03 10:00", 990.0)])
    days = [dt.date(2024, 1, 2), dt.date(2024, 1, 3), dt.date(2024, 1, 4)]
    ends = metrics.day_end_equity(curve, days, 1000.0)
    assert ends == [1100.0, 990.0, 990.0]
    assert metrics.daily_returns(ends, 1000.0) == pytest.approx([0.1, -0.1, 0.0])
    assert metrics.max_drawdown(curve["drawdown"]) == pytest.approx(-220.0)
    assert metrics.max_drawdown(curve["drawdown_pct"]) == pytest.approx(-20.0)
    assert metrics.exposure_pct(pl.Series([0, 1, 2, 0])) == 50.0


@pytest.mark.timeout(300)
def test_cli_prints_the_figures_and_keeps_the_order_lines_in_the_log(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "quarvel.backtest", "--demo", "--no-progress", "--quiet",
         "--codes", "2330:Stock", "--end", "2024-01-02", "--data-dir", str(tmp_path)],
        capture_output=True, text=True, timeout=280,
        env={**os.environ, "PYTHONPATH": SRC, "PYTHONUTF8": "1", "COLUMNS": "100"})
    assert done.returncode == 0, done.stderr[-2000:]
    out = done.stdout
    for label in ("net profit", "max drawdown", "win rate", "profit factor", "round trips",
                  "fees + taxes + slippage", "n/a (under 20 days)", "equity plot"):
        assert label in out
    assert out.index("net profit") < out.index("trade records")
    assert "新增委託單" not in out and "HTML report saved" not in out
    assert "benchmark 0050 was not replayed" in " ".join(out.split())
    (run_dir,) = (tmp_path / "runs").iterdir()
    log = (run_dir / "run.log").read_text(encoding="utf-8")
    assert "新增委託單" in log and (run_dir / "equity.png").exists()


@pytest.mark.timeout(120)
def test_verbose_shows_the_order_lines_and_quiet_keeps_warnings(data_dir, printed):
    class Orders:
        def on_tick(self, context, tick):
            if context.ticks == 50:
                context.buy("2330", 1, tick["close"] * 0.5)
                context.cancel("no-such-order")

    def shown(verbose):
        printed.clear()
        result = backtest.run_backtest(Orders(), backtest.parse_codes("2330:Stock"),
                                       "2024-01-02", "2024-01-02", progress=False,
                                       write_reports=not verbose, verbose=verbose)
        return " ".join(str(line) for line in printed.lines), result.log_path

    (quiet, log_path), (loud, no_log) = shown(False), shown(True)
    assert "新增委託單" not in quiet and "新增委託單" in loud
    assert "no-such-order" in quiet  # the exchange's red line is a warning: always shown
    assert "新增委託單" in open(log_path, encoding="utf-8").read()
    assert no_log is None  # a run that writes no files keeps no log either


PROBE = """<script>window.addEventListener("load", function () {
  var root = document.documentElement, img = document.querySelector(".equity-curve img");
  var table = document.getElementById("profit-table").parentNode;
  root.setAttribute("data-equity-width", img ? img.naturalWidth : -1);
  root.setAttribute("data-table-overflow", table.scrollWidth - table.clientWidth);
});</script>"""


@pytest.mark.timeout(600)
def test_outputs_open_in_a_browser(demo, tmp_path):
    browser = pytest.importorskip("test_report_browser")
    if browser.CHROMIUM is None:
        pytest.skip("chromium is not installed")
    standard = tmp_path / "TXFR1-report.html"
    page = open(demo.reports["TXFR1"]["standard"], encoding="utf-8").read()
    standard.write_text(page.replace("</body>", PROBE + "</body>"), encoding="utf-8")
    dom, stderr = browser.open_page(standard, tmp_path, "--dump-dom", "--window-size=1024,800")
    state = browser.chart_state(dom)
    assert state.get("chart-state") == "drawn" and browser.console_errors(stderr) == []
    assert int(state["equity-width"]) > 500
    assert int(state["table-overflow"]) <= 0, "the profit table needs a horizontal scroll bar"

    import pathlib

    for path, expected in ((demo.reports["TXFR1"]["advanced"], "Benchmark: 0050"),
                           (demo.plot_path, "<img")):
        dom, stderr = browser.open_page(pathlib.Path(path), tmp_path, "--dump-dom")
        assert expected in dom and browser.console_errors(stderr) == []


@pytest.fixture
def full_disk(tmp_path, tmpfs):
    """A 12 KB tmpfs: too small for an equity plot."""
    if not tmpfs(tmp_path / "full", "size=12k"):
        pytest.skip("cannot mount a tmpfs here (needs root)")
    return tmp_path / "full"


@pytest.mark.timeout(120)
def test_a_full_disk_costs_the_plot_not_the_results(round_trip, full_disk):
    from quarvel.backtest.outputs import finish_outputs

    result, _ = round_trip
    result.notes.clear()
    finish_outputs(result, type("Quotes", (), {"ticks": {}})(), str(full_disk))
    assert result.plot_path is None and os.listdir(full_disk) == []
    assert any("equity.png could not be written" in note for note in result.notes)
    assert result.metrics["round_trips"] == 1
