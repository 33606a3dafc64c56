"""Combining codes and days into one time-ordered table."""

import datetime as dt

import polars as pl
import pytest

from quarvel.modules.ticker.ticker import Ticker
from ticker_fakes import COLUMNS, REAL_TICKS, FakeBroker, logged  # noqa: F401

NOT_LOGGED_IN = "永豐 API 尚未初始化, 請先登入永豐 API"
STOCK = {"code": "2330", "market": "Stock"}
FUTURE = {"code": "TXFR1", "market": "Future"}


def test_two_codes_over_days_with_a_holiday_are_ordered_by_ts_then_code(data_dir, printed):
    # 2024-01-03 has no ticks for either code (a holiday); both share ts 100 on the 2nd.
    days = {("2330", "2024-01-02"): [(100, 580, 1), (100, 581, 2), (300, 582, 1)],
            ("TXFR1", "2024-01-02"): [(50, 17000, 1), (100, 17001, 1)],
            ("2330", "2024-01-04"): [(10, 590, 1)],
            ("TXFR1", "2024-01-04"): [(5, 17100, 3)]}
    ticker = Ticker(FakeBroker(days))
    df = ticker._Ticker__process_and_combine_ticks([FUTURE, STOCK], "2024-01-02", "2024-01-04")
    assert df.columns == [*COLUMNS, "code"]
    assert df.select("code", "close").rows() == [
        ("TXFR1", 17000.0), ("2330", 580.0), ("2330", 581.0), ("TXFR1", 17001.0),
        ("2330", 582.0), ("TXFR1", 17100.0), ("2330", 590.0)]
    assert ticker.code_market_map == {"TXFR1": "Future", "2330": "Stock"}
    assert printed.lines.count("[yellow]正在取得 2330 2024-01-03 的 Tick 資料...[/yellow]") == 1


def test_one_code_out_of_time_order_is_sorted_stably(data_dir, printed):
    days = {("2330", "2024-01-02"): [(300, 582, 1), (100, 580, 1), (100, 581, 2)],
            ("2330", "2024-01-04"): [(10, 590, 1)]}
    ticker = Ticker(FakeBroker(days))
    df = ticker._Ticker__process_and_combine_ticks([STOCK], "2024-01-02", "2024-01-04")
    assert df["close"].to_list() == [580.0, 581.0, 582.0, 590.0]


@pytest.mark.parametrize("start,end", [("2024-01-02", "2024-01-03"), ("2024-01-05", "2024-01-02")])
def test_no_ticks_gives_an_empty_table_with_nine_typed_columns(data_dir, printed, start, end):
    ticker = Ticker(FakeBroker())
    df = ticker.get_ticks_df("2330", "Stock", start, end)
    assert df.height == 0
    assert df.schema == pl.Schema({**ticker.tick_df_schema, "code": pl.String})


def test_first_market_of_a_code_stays(data_dir, printed):
    ticker = Ticker(FakeBroker())
    ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
    ticker.get_ticks_df("2330", "Future", "2024-01-02", "2024-01-02")
    assert ticker.code_market_map == {"2330": "Stock"}


def test_not_logged_in_reports_each_day_once_and_moves_on(data_dir, printed, logged):
    ticker = Ticker(None)
    df = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03")
    assert df.height == 0
    assert printed.lines == [
        "[yellow]正在取得 2330 2024-01-02 的 Tick 資料...[/yellow]",
        f"[red]檔案 {data_dir}/sino/ticks/2330 2024-01-02 - ticks.csv 不存在, 開始下載歷史 Tick 資料...[/red]",
        f"[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: {NOT_LOGGED_IN}[/red]",
        "[yellow]正在取得 2330 2024-01-03 的 Tick 資料...[/yellow]",
        f"[red]檔案 {data_dir}/sino/ticks/2330 2024-01-03 - ticks.csv 不存在, 開始下載歷史 Tick 資料...[/red]",
        f"[red]下載 2330 2024-01-03 的 Tick 資料失敗, 錯誤訊息: {NOT_LOGGED_IN}[/red]"]
    assert [list(r) for r in logged.records] == [["error", "traceback", "data"]] * 2
    first = logged.records[0]
    assert first["error"] == NOT_LOGGED_IN
    assert first["traceback"].endswith(f"ValueError: {NOT_LOGGED_IN}\n")
    assert first["data"] == {"code": "2330",
                             "date": dt.datetime(2024, 1, 2).timestamp()}


@pytest.mark.parametrize("failure", [RuntimeError("broker down"), KeyError("9999")])
def test_a_failing_day_is_tried_three_times_then_passed_over(data_dir, printed, logged,
                                                             failure):
    api = FakeBroker({("2330", "2024-01-03"): [(1, 580, 1)]},
                     fail={("2330", "2024-01-02"): failure})
    ticker = Ticker(api)
    df = ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03")
    assert df["close"].to_list() == [580.0]
    assert api.calls == [("2330", "2024-01-02")] * 3 + [("2330", "2024-01-03")]
    assert len(logged.records) == 3
    failed = [line for line in printed.lines if line.startswith("[red]下載")]
    assert failed == [f"[red]下載 2330 2024-01-02 的 Tick 資料失敗, 錯誤訊息: {failure}[/red]"] * 3


def test_unknown_code_does_not_hold_the_loop(data_dir, printed, logged):
    ticker = Ticker(FakeBroker(codes=()))
    assert ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-04").height == 0
    assert len(logged.records) == 9


@pytest.mark.parametrize("content", [
    "ts,close\n1,2.0\n",                                                    # wrong header
    ",".join(COLUMNS) + "\n1704186000000000000,580.0,1,579.0,3,581.0,4,1\n17041860",  # cut off
    ",".join(COLUMNS) + "\nnot-a-number,580.0,1,579.0,3,581.0,4,1\n",
])
def test_a_broken_cache_file_fails_its_day_and_is_left_alone(data_dir, printed, logged,
                                                              content):
    folder = data_dir / "sino" / "ticks"
    folder.mkdir(parents=True)
    broken = folder / "2330 2024-01-02 - ticks.csv"
    broken.write_text(content)
    api = FakeBroker({("2330", "2024-01-03"): [(1, 580, 1)]})
    df = Ticker(api).get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-03")
    assert df.height == 1 and len(logged.records) == 3
    assert broken.read_text() == content
    assert api.calls == [("2330", "2024-01-03")]


@pytest.mark.parametrize("codes,error", [
    ([{"market": "Stock"}], KeyError),
    ([{"code": "2330"}], KeyError),
    ([{"code": 2330, "market": "Stock"}], TypeError),
    ([{"code": "2330", "market": None}], TypeError),
    ((STOCK,), TypeError),
])
def test_bad_code_lists_are_refused_before_any_download(data_dir, codes, error):
    api = FakeBroker()
    with pytest.raises(error):
        Ticker(api)._Ticker__process_and_combine_ticks(codes, "2024-01-02", "2024-01-02")
    assert api.calls == []


@pytest.mark.skipif(REAL_TICKS is None, reason="real data absent")
def test_real_futures_days_combine_in_time_order(data_dir, printed):
    from quarvel.offline_api import OfflineAPI
    ticker = Ticker(OfflineAPI(tick_dir=REAL_TICKS))
    df = ticker.get_ticks_df("TXFR1", "Future", "2025-01-02", "2025-01-03")
    assert df.height == 85_136 + 86_125
    assert df["ts"].is_sorted()
    assert df.columns == [*COLUMNS, "code"]
