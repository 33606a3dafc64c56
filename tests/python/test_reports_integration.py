"""Reports over a real ledger and a real quote manager fed with real futures ticks."""

import datetime as dt
import json

import pytest

from quarvel.modules.positions import positions as module
from quarvel.modules.positions.positions import Positions, QuoteManager
import builders
from reports_support import HAVE_TICKS, TICKS
from quote_ticks import futures_ticks, tick

pytestmark = pytest.mark.skipif(not HAVE_TICKS, reason="real tick data not available")

DAY_START, DAY_END = dt.datetime(2025, 1, 8, 8, 45), dt.datetime(2025, 1, 8, 10, 0)


@pytest.fixture(scope="module")
def session_ticks():
    return [t for t in futures_ticks(TICKS)
            if DAY_START <= dt.datetime.fromtimestamp(t["timestamp"]) < DAY_END]


def first_tick_at(ticks, when):
    moment = dt.datetime.fromisoformat(when).timestamp()
    return next(t for t in ticks if t["timestamp"] >= moment)


def deal(t, action, quantity):
    return builders.deal(action, quantity, t["close"], code=t["code"], ts=t["timestamp"],
                         product_type="Future", trade_id=f"{action}-{t['timestamp']}",
                         order_fields=False)


@pytest.fixture
def backtest(data_dir, printed, session_ticks):
    """Plays the ticks into the ledger and quote manager, trading at four moments."""
    account, quotes = Positions(), QuoteManager()
    orders = {"2025-01-08 09:01:37": ("Buy", 1), "2025-01-08 09:30:05": ("Sell", 1),
              "2025-01-08 09:40:00": ("Buy", 2), "2025-01-08 09:50:00": ("Sell", 1)}
    fills = {id(first_tick_at(session_ticks, when)): order for when, order in orders.items()}
    for t in session_ticks:
        account.set_current_tick(t)
        quotes.add_tick(t)
        if id(t) in fills:
            action, quantity = fills[id(t)]
            trade = deal(t, action, quantity)
            account.add_trade_record(trade["trade_id"], t["code"], action, quantity, t["close"],
                                     t["timestamp"], "Deal")
            account.set_positions(trade, "Future")
    for day, close in [(6, 180.0), (7, 181.0), (8, 183.0), (9, 182.0), (10, 184.0)]:
        quotes.add_tick(tick(f"2025-01-{day:02d} 13:00:00", close=close, code="0050"))
    return account, quotes


def test_open_position_is_reported_at_the_last_tick(backtest, session_ticks):
    account, _ = backtest
    last = session_ticks[-1]
    opened = first_tick_at(session_ticks, "2025-01-08 09:40:00")
    account.fetch_positions("Future")
    (row,) = account.pop_positions()
    assert row == {"code": "TXFR1", "quantity": 1, "avg_price": opened["close"],
                   "pnl": (last["close"] - opened["close"]) * 1 * 200}
    account.fetch_positions("Future", fetch_detail=True)
    (line,) = account.pop_positions()
    assert (line["quantity"], line["cost"], line["date"]) == (1, opened["close"],
                                                              opened["timestamp"])


def test_reports_over_the_ledger(backtest, data_dir, monkeypatch):
    account, quotes = backtest
    rows = account._profit_report["rows"]
    assert len(rows) == 2

    account.export_trade_records()
    (csv,) = (data_dir / "trade_records").iterdir()
    assert csv.read_text().count("\n") == 5

    captured = []
    real_template = module.template

    class Capture:
        def render(self, context):
            captured.append(context)
            return real_template.render(context)

    monkeypatch.setattr(module, "template", Capture())
    account.generate_standard_report("TXFR1", quotes)
    context = captured[0]
    bar_times = {bar["time"] for bar in json.loads(context["kbar_df"])}
    points = json.loads(context["include_profit_rows"])
    assert len(points) == 4 and all(p["dt"] in bar_times for p in points)
    assert points[0]["dt"] == "2025-01-08 09:01:00"
    assert context["profit_rows"][0]["entry_dt"].startswith("2025-01-08 09:01:3")
    assert context["account_info"] is account._account_infos["TXFR1"]
    assert (data_dir / "report" / "TXFR1-report.html").stat().st_size > 10_000

    account.generate_qs_profit_report("TXFR1", quotes)
    folder = data_dir / "sino" / "profit_report"
    assert sorted(p.name for p in folder.iterdir()) == [
        "TXFR1-profit_report.csv", "TXFR1-profit_report.html"]
    assert isinstance(rows[0]["exit_dt"], float)
