"""The standard report: what the template receives and the file it becomes."""

import datetime as dt
import json

import polars as pl
import pytest

from quarvel.modules.positions import positions as module
from quarvel.modules.positions.positions import Positions
from reports_support import QuoteStandIn, epoch, kbars, profit_row

CONTEXT_KEYS = [
    "kbar_df", "profit_rows", "profit_rows_json", "include_profit_rows", "fee_settings",
    "account_info", "initial_capital", "current_capital", "qs_report_path",
]
ZERO_ACCOUNT = dict.fromkeys(
    ["entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit", "extra_fee",
     "profit_times", "loss_times", "profit_total", "loss_total", "profit"], 0)


class TemplateRecorder:
    def __init__(self):
        self.contexts = []

    def render(self, context):
        self.contexts.append(context)
        return "<html>rendered</html>"


@pytest.fixture
def recorder(monkeypatch):
    recorder = TemplateRecorder()
    monkeypatch.setattr(module, "template", recorder)
    return recorder


@pytest.fixture
def quotes():
    bars = kbars([
        (dt.datetime(2024, 1, 2, 9, 1), 600.0, 604.0, 599.0, 603.0, 12),
        (dt.datetime(2024, 1, 2, 9, 2), 603.0, 603.0, 601.0, 602.0, 0),
    ])
    return QuoteStandIn({("2330", "m"): bars})


def test_context_keys_values_and_trade_points(data_dir, printed, recorder, quotes):
    account = Positions()
    row = profit_row(entry="2024-01-02 09:01:37", exit="2024-01-02 10:15:02")
    account._profit_report["rows"] += [row, profit_row("2317")]
    account._account_infos["2330"] = info = dict(ZERO_ACCOUNT, cover_times=1)
    account.generate_standard_report("2330", quotes)

    (context,) = recorder.contexts
    assert list(context) == CONTEXT_KEYS
    assert quotes.calls == [("2330", "m", 1)]
    assert json.loads(context["kbar_df"]) == [
        {"time": "2024-01-02 09:01:00", "code": "2330", "open": 600.0, "high": 604.0,
         "low": 599.0, "close": 603.0, "volume": 12},
        {"time": "2024-01-02 09:02:00", "code": "2330", "open": 603.0, "high": 603.0,
         "low": 601.0, "close": 602.0, "volume": 0},
    ]
    (shown,) = context["profit_rows"]
    assert (shown["entry_dt"], shown["exit_dt"]) == ("2024-01-02 09:01:37", "2024-01-02 10:15:02")
    assert list(shown) == list(row)
    assert context["profit_rows_json"] == json.dumps(context["profit_rows"])
    assert json.loads(context["include_profit_rows"]) == [
        {"code": "2330", "type": "entry", "dt": "2024-01-02 09:01:00", "qty": 1,
         "price": 603.0, "origin_price": 600.0},
        {"code": "2330", "type": "exit", "dt": "2024-01-02 10:15:00", "qty": 1,
         "price": 607.0, "origin_price": 610.0},
    ]
    assert context["fee_settings"] is account._fee_settings
    assert context["account_info"] is info
    assert (context["initial_capital"], context["current_capital"]) == (100000, 100000)
    assert context["qs_report_path"] == str(data_dir / "sino/profit_report/2330-profit_report.html")

    # the ledger's rows keep their numeric times
    assert row["entry_dt"] == epoch("2024-01-02 09:01:37")
    path = data_dir / "report" / "2330-report.html"
    assert path.read_text(encoding="utf-8") == "<html>rendered</html>"
    assert printed.lines == [
        "[bold green]產生 2330 的回測報告...[/bold green]",
        f"[bold green]回測基本報告已產生: {path}[/bold green]",
    ]


@pytest.mark.parametrize(
    "quotes_for",
    [
        lambda: QuoteStandIn(),  # never received a tick: the quote manager raises KeyError
        lambda: QuoteStandIn({("2330", "m"): pl.DataFrame()}),
        lambda: QuoteStandIn({("2330", "m"): kbars([])}),
    ],
    ids=["no-ticks", "empty-table", "empty-kbars"],
)
def test_code_without_ticks_or_trades_still_gets_a_report(data_dir, recorder, quotes_for):
    account = Positions()
    account.generate_standard_report("2330", quotes_for())
    (context,) = recorder.contexts
    assert context["kbar_df"] == context["profit_rows_json"] == context["include_profit_rows"] == "[]"
    assert context["profit_rows"] == []
    assert context["account_info"] == ZERO_ACCOUNT
    assert account._account_infos == {}
    assert (data_dir / "report" / "2330-report.html").exists()


@pytest.mark.parametrize("error", [KeyError("other"), KeyError("2330", 1), RuntimeError("x")])
def test_other_kbar_failures_propagate(data_dir, recorder, error):
    class Failing:
        def get_kbar(self, code, unit, freq):
            raise error

    with pytest.raises(type(error)):
        Positions().generate_standard_report("2330", Failing())
    assert recorder.contexts == []
    assert not (data_dir / "report" / "2330-report.html").exists()


def test_qs_report_path_has_no_backslash(tmp_path, monkeypatch, recorder, quotes):
    from quarvel.constant import BASIC_INFO

    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "back\\slash"))
    Positions().generate_standard_report("2330", quotes)
    path = recorder.contexts[0]["qs_report_path"]
    assert "\\" not in path and path.endswith("back/slash/sino/profit_report/2330-profit_report.html")


@pytest.mark.parametrize("code", [2330, None, b"2330"])
def test_code_must_be_a_str(data_dir, recorder, quotes, code):
    with pytest.raises(TypeError, match="code"):
        Positions().generate_standard_report(code, quotes)


# --- the real template ----------------------------------------------------------------------


def render_real(data_dir, account, quotes, code="2330"):
    account.generate_standard_report(code, quotes)
    return (data_dir / "report" / f"{code}-report.html").read_text(encoding="utf-8")


def test_real_page_holds_the_data_and_needs_no_network(data_dir, quotes):
    account = Positions()
    account._profit_report["rows"] += [
        profit_row(), profit_row(profit=-1200.5, action="Sell", entry="2024-01-02 09:02:05"),
    ]
    account._account_infos["2330"] = dict(ZERO_ACCOUNT, profit=-745.75, profit_times=1,
                                          loss_times=1, cover_times=2)
    html = render_real(data_dir, account, quotes)
    assert html.count('<tr>\n          <td>') == 2 and "尚無沖銷紀錄" not in html
    for text in ["2330 回測報告", "2024-01-02 09:01:37", "454.75", "-1,200.50", "-745.75",
                 "50.0%", "0.1425%", "2330-profit_report.html", "data-chart-state"]:
        assert text in html
    assert "http://" not in html.replace("http://www.w3.org/2000/svg", "")
    assert "https://" not in html and "<script src" not in html and "<link" not in html


def test_real_page_with_zero_rows(data_dir):
    html = render_real(data_dir, Positions(), QuoteStandIn())
    assert "尚無沖銷紀錄，沒有損益資料" in html
    assert "var KBARS = [];" in html and "var POINTS = [];" in html


def test_script_closing_tags_in_data_cannot_end_the_script(data_dir, quotes):
    account = Positions()
    account._profit_report["rows"].append(dict(profit_row(), entry_action="</script><b>"))
    html = render_real(data_dir, account, quotes)
    assert html.count("</script>") == 1  # only the page's own closing tag
    assert "&lt;/script&gt;" in html


def test_report_is_repeatable_and_leaves_the_ledger_alone(data_dir, quotes):
    account = Positions()
    account._profit_report["rows"].append(profit_row())
    before = [dict(r) for r in account._profit_report["rows"]]
    first = render_real(data_dir, account, quotes)
    second = render_real(data_dir, account, quotes)
    assert first == second
    assert account._profit_report["rows"] == before
    assert sorted(p.name for p in (data_dir / "report").iterdir()) == ["2330-report.html"]
