"""The broker stand-in: sessions, price grid, calendar, determinism, files."""

import datetime as dt

import polars as pl
import pytest

from quarvel.offline_api import COLUMNS, OfflineAPI, stock_tick_size
from ticker_fakes import REAL_TICKS


def clock(ts):
    return dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ts // 1000)


def test_contracts_know_their_codes_only():
    api = OfflineAPI(holidays=set())
    assert api and api.Contracts.Stocks["2330"].code == "2330"
    assert api.Contracts.Futures["TXFR1"].code == "TXFR1"
    for table, code in [(api.Contracts.Stocks, "TXFR1"), (api.Contracts.Futures, "2330"),
                        (api.Contracts.Stocks, "9999")]:
        with pytest.raises(KeyError):
            table[code]


def test_stock_day_session_grid_and_closing_auction():
    api = OfflineAPI(seed=3, holidays=set())
    day = api.ticks(contract=api.Contracts.Stocks["2330"], date="2024-01-02")
    df = pl.DataFrame(day)
    assert df.columns == list(COLUMNS) and df.height > 1000
    assert df.schema["ts"] == pl.Int64 and df.schema["close"] == pl.Float64
    times = [clock(ts) for ts in day["ts"]]
    assert times == sorted(times)
    assert dt.time(9, 0) <= times[0].time() and times[-2].time() < dt.time(13, 25)
    assert times[-1].time() == dt.time(13, 30) and day["tick_type"][-1] == 0
    for price in day["close"]:
        step = stock_tick_size(price)
        assert abs(round(price / step) * step - price) < 1e-6
    assert min(day["volume"]) >= 1


def test_futures_day_has_night_session_from_previous_trading_day():
    api = OfflineAPI(seed=1, holidays=set())
    day = api.ticks(contract=api.Contracts.Futures["TXFR1"], date="2024-01-08")  # a Monday
    times = [clock(ts) for ts in day["ts"]]
    assert times[0] >= dt.datetime(2024, 1, 5, 15, 0)          # Friday evening
    night = [t for t in times if t < dt.datetime(2024, 1, 8)]
    assert night and max(night) < dt.datetime(2024, 1, 6, 5, 0)
    session = [t for t in times if t >= dt.datetime(2024, 1, 8)]
    assert min(session).time() >= dt.time(8, 45) and max(session).time() < dt.time(13, 45)
    assert all(price == int(price) for price in day["close"])


@pytest.mark.parametrize("date,holidays", [("2024-01-06", set()), ("2024-01-07", set()),
                                           ("2024-02-08", {"2024-02-08"})])
def test_no_ticks_on_weekends_and_holidays(date, holidays):
    api = OfflineAPI(holidays=holidays)
    for contract in (api.Contracts.Stocks["2330"], api.Contracts.Futures["TXFR1"]):
        assert api.ticks(contract=contract, date=date) == {name: [] for name in COLUMNS}


def test_same_seed_same_market_other_seed_other_market():
    def day(seed):
        api = OfflineAPI(seed=seed, holidays=set())
        return api.ticks(contract=api.Contracts.Stocks["2317"], date="2024-03-04")
    assert day(5) == day(5) and day(5) != day(6)


@pytest.mark.skipif(REAL_TICKS is None, reason="real data absent")
def test_files_in_cache_format_are_served_as_they_are():
    api = OfflineAPI(tick_dir=REAL_TICKS)
    day = api.ticks(contract=api.Contracts.Futures["TXFR1"], date="2025-01-08")
    assert len(day["ts"]) == 84_927 and sum(day["volume"]) == 113_483
    # A day the folder lacks is missing, never an empty day.
    with pytest.raises(FileNotFoundError, match="2025-01-09"):
        api.ticks(contract=api.Contracts.Futures["TXFR1"], date="2025-01-09")


def test_a_folder_is_never_mixed_with_the_synthetic_market(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing"):
        OfflineAPI(tick_dir=str(tmp_path / "missing"))
    (tmp_path / "TXFR1 2025-01-08 - ticks.csv").write_text(",".join(COLUMNS) + "\n")
    api = OfflineAPI(tick_dir=str(tmp_path))
    for table in (api.Contracts.Stocks, api.Contracts.Futures):
        assert table["TXFR1"].code == "TXFR1"
        with pytest.raises(KeyError):
            table["2330"]  # a synthetic code, but not in the folder
