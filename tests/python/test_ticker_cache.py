"""Per-day download and the CSV cache of finished days."""

import datetime as dt
import os
import re

import polars as pl
import pytest

from quarvel.modules.ticker import ticker as ticker_module
from quarvel.modules.ticker.ticker import Ticker
from ticker_fakes import COLUMNS, PAST, FakeBroker, day_columns, logged  # noqa: F401

ROWS = [(9 * 3600, 580, 2), (9 * 3600 + 1, 581, 1, 2)]


def cache_file(data_dir, code, day):
    return data_dir / "sino" / "ticks" / f"{code} {day} - ticks.csv"


def test_constructor_sets_attributes_in_order(data_dir):
    api = FakeBroker()
    ticker = Ticker(api)
    assert list(vars(ticker)) == [
        "api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue",
        "backfilling_finish_flag", "exit_send_thread_flag", "tick_file_save_path",
        "tick_queue", "code_market_map", "tick_df_schema", "current_send_ticks_params"]
    assert ticker.api is api
    assert ticker.allow_next_tick_flag_queue.qsize() == 1
    assert ticker.allow_next_tick_flag_queue.get_nowait() is True
    assert ticker.tick_file_save_path == os.path.join(str(data_dir), "ticks")
    assert data_dir.is_dir() and not (data_dir / "ticks").exists()
    assert list(ticker.tick_df_schema) == list(COLUMNS)


def test_cache_miss_downloads_then_hit_reads_without_broker(data_dir, printed):
    api = FakeBroker({("2330", PAST): ROWS})
    ticker = Ticker(api)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    path = cache_file(data_dir, "2330", PAST)
    assert printed.lines == [
        f"[red]檔案 {path} 不存在, 開始下載歷史 Tick 資料...[/red]",
        f"[green]下載 2330 {PAST} 的 Tick 資料成功, 儲存於 {path}[/green]"]
    assert path.read_text().splitlines()[0] == ",".join(COLUMNS)
    assert first.columns == [*COLUMNS, "code"] and first["code"].to_list() == ["2330"] * 2

    printed.clear()
    second = ticker._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert api.calls == [("2330", PAST)]
    assert printed.lines == [f"[green]檔案 {path} 已存在, 開始讀取檔案...[/green]"]
    assert second.equals(first)
    assert [f for f in os.listdir(path.parent)] == [path.name]  # no temporary files left


@pytest.mark.parametrize("offset", [0, 1])
def test_today_and_later_days_are_never_cached(data_dir, printed, offset):
    day = (dt.date.today() + dt.timedelta(days=offset)).isoformat()
    api = FakeBroker({("2330", day): ROWS})
    ticker = Ticker(api)
    for _ in range(2):
        assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", day).height == 2
    assert api.calls == [("2330", day)] * 2
    assert not cache_file(data_dir, "2330", day).exists()


def test_day_without_ticks_is_cached_header_only(data_dir, printed):
    api = FakeBroker()
    ticker = Ticker(api)
    assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", PAST).height == 0
    assert cache_file(data_dir, "2330", PAST).read_text().strip() == ",".join(COLUMNS)
    again = ticker._Ticker__auto_fetch_ticks("2330", "Stock", PAST)
    assert api.calls == [("2330", PAST)]
    assert again.schema == pl.Schema({**ticker.tick_df_schema, "code": pl.String})


def test_fetch_range_returns_all_days_and_caches_each(data_dir, printed):
    api = FakeBroker({("2330", "2024-01-02"): ROWS, ("2330", "2024-01-04"): ROWS[:1]})
    ticker = Ticker(api)
    df = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-04")
    assert df.height == 3 and df.columns == list(COLUMNS)
    assert sorted(os.listdir(data_dir / "sino" / "ticks")) == [
        f"2330 2024-01-0{d} - ticks.csv" for d in (2, 3, 4)]
    empty = ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-05", "2024-01-04")
    assert empty.height == 0 and len(api.calls) == 3


@pytest.mark.parametrize("market,table", [("Stock", "Stock"), ("Future", "Future"),
                                          ("Option", "Future")])
def test_contract_lookup_by_market(data_dir, market, table):
    ticker = Ticker(FakeBroker())
    assert ticker._Ticker__make_sino_contract_object("2330", market).kind == table
    with pytest.raises(KeyError):
        ticker._Ticker__make_sino_contract_object("9999", market)


def test_generate_save_path_creates_only_the_folder(data_dir):
    ticker = Ticker(FakeBroker())
    folder = ticker._Ticker__generate_save_path(None, "sino", "ticks")
    assert folder == os.path.join(str(data_dir), "sino", "ticks") and os.path.isdir(folder)
    path = ticker._Ticker__generate_save_path("x.csv", "a", "b")
    assert path == os.path.join(str(data_dir), "a", "b", "x.csv")
    assert os.path.isdir(os.path.dirname(path)) and not os.path.exists(path)
    assert ticker._Ticker__tick_filename_formatter("2330", PAST) == f"2330 {PAST} - ticks.csv"
    with pytest.raises(TypeError, match="file_name"):
        ticker._Ticker__generate_save_path(1, "a")


def test_not_logged_in_is_refused_before_any_work(data_dir):
    ticker = Ticker(None)
    with pytest.raises(ValueError, match="^永豐 API 尚未初始化, 請先登入永豐 API$"):
        ticker.fetch_sino_history_ticks("2330", "Stock", PAST, PAST)


class _Session:
    """A broker object that stays truthy but whose contract tables fail or hold None."""

    def __init__(self, error=None):
        self.error = error

    @property
    def Contracts(self):
        if self.error is not None:
            raise self.error
        table = type("Table", (), {"__getitem__": lambda _self, code: None})()
        return type("Contracts", (), {"Stocks": table, "Futures": table})()

    def ticks(self, contract, date):
        raise AssertionError("no ticks without a contract")


@pytest.mark.parametrize("error", [type("AuthenticationError", (Exception,), {})("expired"),
                                   type("TokenError", (Exception,), {})("bad token"),
                                   AttributeError("Contracts")])
def test_a_session_whose_contracts_fail_is_not_logged_in(data_dir, error):
    ticker = Ticker(_Session(error))
    with pytest.raises(ValueError, match="^永豐 API 尚未初始化, 請先登入永豐 API$"):
        ticker.fetch_sino_history_ticks("2330", "Stock", PAST, PAST)
    ticker = Ticker(_Session(RuntimeError("other")))
    with pytest.raises(RuntimeError, match="other"):
        ticker._Ticker__make_sino_contract_object("2330", "Stock")


def test_a_contract_lookup_giving_none_is_an_unknown_code(data_dir):
    with pytest.raises(KeyError, match="2330"):
        Ticker(_Session()).fetch_sino_history_ticks("2330", "Stock", PAST, PAST)


def test_interrupted_write_leaves_no_cache_file(data_dir, printed, monkeypatch):
    ticker = Ticker(FakeBroker({("2330", PAST): ROWS}))

    class BrokenOs:
        path = os.path
        getpid = staticmethod(os.getpid)
        remove = staticmethod(os.remove)

        @staticmethod
        def replace(src, dst):
            raise OSError("disk full")

    monkeypatch.setattr(ticker_module, "os", BrokenOs)
    with pytest.raises(OSError, match="disk full"):
        ticker.fetch_sino_history_ticks("2330", "Stock", PAST, PAST)
    assert os.listdir(data_dir / "sino" / "ticks") == []


@pytest.mark.parametrize("bad_day", [
    {**day_columns(PAST, ROWS), "close": [580, 581]},          # ints where floats belong
    {k: v for k, v in day_columns(PAST, ROWS).items() if k != "tick_type"},
    dict(reversed(list(day_columns(PAST, ROWS).items()))),     # columns out of order
])
def test_broker_columns_of_wrong_shape_fail_the_day_before_writing(data_dir, bad_day):
    api = FakeBroker()
    api.ticks = lambda contract, date: bad_day
    ticker = Ticker(api)
    with pytest.raises(ValueError, match="永豐 API 回傳的 Tick 資料"):
        ticker.fetch_sino_history_ticks("2330", "Stock", PAST, PAST)
    assert not cache_file(data_dir, "2330", PAST).exists()


BAD_CODES = ["", "../x", "a/b", "a\\b", "..", "x\0y", "2330/../../etc"]


@pytest.mark.parametrize("code", BAD_CODES)
def test_unsafe_codes_are_refused_before_any_file_or_broker_access(data_dir, code):
    api = FakeBroker(codes=(code,))
    ticker = Ticker(api)
    message = "^" + re.escape("不合法的商品代碼: " + repr(code)) + "$"
    calls = [
        lambda: ticker.fetch_sino_history_ticks(code, "Stock", PAST, PAST),
        lambda: ticker.get_ticks_df(code, "Stock", PAST, PAST),
        lambda: ticker.send_ticks([{"code": code, "market": "Stock"}], PAST, PAST),
        lambda: ticker.backfilling([{"code": code, "market": "Stock"}], PAST, PAST),
        lambda: ticker._Ticker__auto_fetch_ticks(code, "Stock", PAST),
    ]
    for call in calls:
        with pytest.raises(ValueError, match=message):
            call()
    assert api.calls == []
    assert not (data_dir / "sino").exists() or os.listdir(data_dir / "sino" / "ticks") == []


@pytest.mark.parametrize("call,arg", [
    (lambda t: t.fetch_sino_history_ticks(2330, "Stock", PAST, PAST), "code"),
    (lambda t: t.fetch_sino_history_ticks("2330", "Stock", 20240102, PAST), "start_from"),
    (lambda t: t.get_ticks_df("2330", "Stock", PAST, None), "end_to"),
    (lambda t: t._Ticker__auto_fetch_ticks("2330", "Stock", True), "date"),
    (lambda t: t._Ticker__make_sino_contract_object("2330", 1), "market_type"),
])
def test_wrong_argument_types_name_the_argument(data_dir, call, arg):
    with pytest.raises(TypeError, match=arg):
        call(Ticker(FakeBroker()))


def test_private_methods_are_reachable_under_their_mangled_names():
    for name in ("generate_save_path", "tick_filename_formatter", "make_sino_contract_object",
                 "auto_fetch_ticks", "process_and_combine_ticks", "push_tick_to_queue",
                 "notify_backfilling_finish"):
        assert callable(getattr(Ticker, f"_Ticker__{name}"))
