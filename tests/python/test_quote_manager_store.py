"""The quote manager's tick store: virtual minutes, session windows, weekends, holidays,
the pending/history split, the row views and bad input."""

import copy
import csv
import pickle
from datetime import datetime, time
from pathlib import Path

import polars as pl
import pytest

from quarvel.modules.positions import positions as positions_module
from quarvel.modules.positions.positions import QuoteManager
from quote_ticks import tick

TICK_SCHEMA = {
    "dt": pl.Datetime("us"), "market_type": pl.Utf8, "code": pl.Utf8, "close": pl.Float64,
    "qty": pl.Int64, "tick_type": pl.Int8, "is_simulate": pl.Boolean, "is_virtual": pl.Boolean,
}
HOLIDAY_FILE = Path(positions_module.static_dir) / "holidays_search_from_2017.csv"


def dts(rows):
    return [row["dt"] for row in rows]


def stored(*ticks, **kwargs):
    qm = QuoteManager()
    for t in ticks:
        qm.add_tick(tick(*t, **kwargs) if isinstance(t, tuple) else tick(t, **kwargs))
    return qm


def test_construction_state_and_record_shape():
    qm = QuoteManager()
    assert QuoteManager.__doc__ == "報價管理"
    assert list(vars(qm)) == ["holiday_search_set", "ticks", "not_trade_times"]
    assert qm.ticks == {}
    assert qm.not_trade_times == {
        "Stock": [[time(13, 30), time(23, 59, 59)], [time(0, 0), time(8, 59, 59)]],
        "Future": [[time(13, 45), time(14, 59, 59)], [time(5, 0), time(8, 44, 59)]],
    }
    info = qm.get_init_ticks_info()
    assert list(info) == ["ticks", "old_ticks", "last_tick", "cached_kbars"]
    assert info["ticks"] == [] and info["old_ticks"] == [] and info["last_tick"] is None
    assert info["cached_kbars"] == {} and qm.get_init_ticks_info()["ticks"] is not info["ticks"]
    empties = (qm.get_empty_tick_df(), qm.poped_tick_to_df("none"),
               qm.poped_old_ticks_to_df("none"))
    for empty in empties:
        assert empty.schema == TICK_SCHEMA and empty.height == 0


def test_holiday_file_lists_known_closures_and_only_weekdays():
    with HOLIDAY_FILE.open(newline="") as handle:
        dates = [row["Date"] for row in csv.DictReader(handle)]
    assert dates == sorted(set(dates)) and dates[0].startswith("2017")
    assert all(datetime.strptime(d, "%Y-%m-%d").weekday() < 5 for d in dates)
    lunar_new_year_2024 = {"2024-02-06", "2024-02-07", "2024-02-08", "2024-02-09",
                           "2024-02-12", "2024-02-13", "2024-02-14"}
    assert lunar_new_year_2024 | {"2025-01-01", "2024-10-10", "2023-01-18"} <= set(dates)
    assert "2024-02-15" not in dates and "2025-01-02" not in dates
    assert QuoteManager().holiday_search_set == set(dates)


@pytest.mark.parametrize("previous, now, virtual", [
    ("09:00:50", "09:01:10", []),
    ("09:00:10", "09:01:20", []),
    ("09:00:50", "09:02:10", ["09:01:00", "09:02:00"]),
    ("09:00:00", "09:02:00", ["09:01:00", "09:02:00"]),
    ("09:59:59.900", "10:02:00.100", ["10:00:00", "10:01:00", "10:02:00"]),
    ("09:05:30", "09:05:10", []),  # a late tick fills nothing
])
def test_gap_filling_counts_whole_minutes_after_the_previous_one(previous, now, virtual):
    qm = stored("2024-03-04 " + previous, ("2024-03-04 " + now, 101.0, 5))
    rows = list(qm.ticks["2330"]["ticks"])
    assert dts(rows[1:-1]) == [datetime.fromisoformat("2024-03-04 " + v) for v in virtual]
    for row in rows[1:-1]:
        assert row == {"dt": row["dt"], "market_type": "Stock", "code": "2330", "close": 100.0,
                       "qty": 0, "tick_type": 0, "is_simulate": False, "is_virtual": True}
    assert rows[-1]["close"] == 101.0 and rows[-1]["is_virtual"] is False
    assert qm.ticks["2330"]["last_tick"] == rows[-1]


@pytest.mark.parametrize("market, when, moved_to", [
    ("Stock", "2024-03-04 13:30:00.250", "2024-03-04 13:29:59.250"),
    ("Stock", "2024-03-04 23:59:59", "2024-03-04 13:29:59"),
    ("Stock", "2024-03-04 23:59:59.999", "2024-03-04 23:59:59.999"),  # after the end bound
    ("Stock", "2024-03-04 08:30:00", "2024-03-03 23:59:59"),
    ("Stock", "2024-03-04 08:59:59.400", "2024-03-04 08:59:59.400"),
    ("Stock", "2024-03-04 13:29:59.999", "2024-03-04 13:29:59.999"),
    ("Future", "2024-03-04 05:00:00", "2024-03-04 04:59:59"),
    ("Future", "2024-03-04 08:44:58.5", "2024-03-04 04:59:59.5"),
    ("Future", "2024-03-04 08:44:59.5", "2024-03-04 08:44:59.5"),  # after the end bound
    ("Future", "2024-03-04 13:45:00", "2024-03-04 13:44:59"),
    ("Future", "2024-03-04 15:00:00", "2024-03-04 15:00:00"),
    ("Other", "2024-03-04 03:00:00", "2024-03-04 03:00:00"),
])
def test_ticks_inside_a_window_move_before_it(market, when, moved_to):
    qm = stored(when, market=market)
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime.fromisoformat(moved_to)


def test_stock_gap_over_a_weekend_and_a_holiday_skips_closed_days():
    # Friday 2024-02-02 close to Thursday 2024-02-15: weekends and the Lunar New Year.
    qm = stored("2024-02-02 13:25:00", "2024-02-15 09:01:30")
    virtual = dts(qm.ticks["2330"]["ticks"][1:-1])
    days = sorted({d.date().isoformat() for d in virtual})
    assert days == ["2024-02-02", "2024-02-05", "2024-02-15"]
    assert virtual[:4] == [datetime(2024, 2, 2, 13, m) for m in (26, 27, 28, 29)]
    assert datetime(2024, 2, 5, 9, 0) in virtual and datetime(2024, 2, 5, 8, 59) not in virtual
    assert all(time(9, 0) <= d.time() < time(13, 30) for d in virtual)


def test_futures_night_session_belongs_to_the_previous_day():
    # Friday night to Monday morning: Saturday 00:00-04:59 closes Friday's night session;
    # nothing on Sunday, and Monday 00:00-05:00 would close a Sunday session that never ran.
    qm = stored("2024-03-01 23:58:30", "2024-03-04 08:46:00", market="Future")
    virtual = dts(qm.ticks["2330"]["ticks"][1:-1])
    assert virtual[0] == datetime(2024, 3, 1, 23, 59)
    saturday = [d for d in virtual if d.date().isoformat() == "2024-03-02"]
    assert saturday[0] == datetime(2024, 3, 2, 0, 0) and saturday[-1] == datetime(2024, 3, 2, 4, 59)
    assert len(saturday) == 300
    assert not [d for d in virtual if d.date().isoformat() in ("2024-03-03",)]
    monday = [d for d in virtual if d.date().isoformat() == "2024-03-04"]
    assert monday == [datetime(2024, 3, 4, 8, 45), datetime(2024, 3, 4, 8, 46)]


def test_futures_holiday_uses_the_trading_day_before_five():
    # 2025-01-01 is a holiday: its night minutes close 2024-12-31's session and are kept,
    # its day session and its own night session (which closes into 01-02) are not.
    qm = stored("2024-12-31 23:59:00", "2025-01-02 08:46:00", market="Future")
    virtual = dts(qm.ticks["2330"]["ticks"][1:-1])
    first_of_january = [d for d in virtual if d.date().isoformat() == "2025-01-01"]
    assert first_of_january[0] == datetime(2025, 1, 1, 0, 0)
    assert first_of_january[-1] == datetime(2025, 1, 1, 4, 59) and len(first_of_january) == 300
    second = [d for d in virtual if d.date().isoformat() == "2025-01-02"]
    assert second == [datetime(2025, 1, 2, 8, 45), datetime(2025, 1, 2, 8, 46)]


def test_market_without_windows_keeps_weekend_and_holiday_rules():
    qm = stored("2024-02-07 23:58:00", "2024-02-08 00:01:30", market="Other")
    # 2024-02-07 and 02-08 are holidays; minutes up to 05:00 look up the previous day.
    assert dts(qm.ticks["2330"]["ticks"][1:-1]) == []
    qm = stored("2024-03-04 23:58:00", "2024-03-05 00:01:30", market="Other")
    assert len(qm.ticks["2330"]["ticks"]) == 5


def test_calendar_attributes_are_read_at_call_time():
    qm = QuoteManager()
    qm.holiday_search_set = {"2024-03-04"}
    qm.not_trade_times = {"Stock": [[time(9, 30), time(9, 31, 59)]]}
    qm.add_tick(tick("2024-03-04 09:00:00"))
    qm.add_tick(tick("2024-03-04 09:31:00"))
    assert len(qm.ticks["2330"]["ticks"]) == 2  # holiday: no virtual rows
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 4, 9, 29, 59)
    qm.holiday_search_set = set()
    qm.add_tick(tick("2024-03-04 09:34:00"))
    filled = dts(qm.ticks["2330"]["ticks"][2:-1])
    assert filled == [datetime(2024, 3, 4, 9, m) for m in (32, 33, 34)]


def test_pending_rows_move_to_history_once():
    qm = stored("2024-03-04 09:00:00", "2024-03-04 09:00:30")
    record = qm.ticks["2330"]
    first = qm.poped_tick_to_df("2330")
    assert first.schema == TICK_SCHEMA and first.height == 2
    assert record["ticks"] == [] and len(record["old_ticks"]) == 2
    assert qm.poped_tick_to_df("2330").height == 0 and len(record["old_ticks"]) == 2
    qm.add_tick(tick("2024-03-04 09:00:45", 99.0))
    assert len(record["ticks"]) == 1
    assert qm.poped_old_ticks_to_df("2330").equals(qm.poped_old_ticks_to_df("2330"))
    assert qm.poped_old_ticks_to_df("2330").height == 2
    assert qm.poped_tick_to_df("2330")["close"].to_list() == [99.0]
    assert qm.poped_old_ticks_to_df("2330")["close"].to_list() == [100.0, 100.0, 99.0]


def test_conversion_sorts_by_time_keeping_arrival_order():
    qm = stored("2024-03-04 09:00:30", ("2024-03-04 09:00:10", 101.0),
                ("2024-03-04 09:00:30", 102.0), ("2024-03-04 09:00:10", 103.0))
    assert qm.poped_tick_to_df("2330")["close"].to_list() == [101.0, 103.0, 100.0, 102.0]


def test_row_views_behave_like_lists():
    qm = stored("2024-03-04 09:00:00", ("2024-03-04 09:03:00", 101.0))
    rows = qm.ticks["2330"]["ticks"]
    as_list = list(rows)
    assert len(rows) == 5 and rows == as_list and not rows != as_list
    assert rows[-1] == as_list[-1] and rows[1:3] == as_list[1:3] and rows[::-2] == as_list[::-2]
    assert rows != as_list[:-1] and rows != as_list[:-1] + [dict(as_list[0])]
    assert list(rows[-1]) == list(TICK_SCHEMA) and rows[0]["dt"] == datetime(2024, 3, 4, 9)
    with pytest.raises(IndexError):
        rows[5]
    with pytest.raises(TypeError):
        rows["dt"]
    assert repr(rows) == repr(as_list)
    copied = copy.deepcopy(rows)
    assert type(copied) is list and copied == as_list
    assert pickle.loads(pickle.dumps(rows)) == as_list


def test_rows_put_back_as_plain_lists_are_kept():
    qm = stored("2024-03-04 09:00:00")
    record = qm.ticks["2330"]
    record["ticks"] = list(record["ticks"])
    qm.add_tick(tick("2024-03-04 09:00:20", 101.0))
    assert [r["close"] for r in record["ticks"]] == [100.0, 101.0]
    assert qm.poped_tick_to_df("2330").height == 2


def test_store_changed_between_ticks_is_read_again():
    """add_tick and the bar feed keep where a code's rows are only while nothing on the way
    to them changes: a record put in its place, or a subclass's computed `ticks`."""
    from quarvel.backtest.bar_events import make_feed

    qm = stored("2024-03-04 09:00:00", "2024-03-04 09:00:10")
    feed = make_feed(qm)
    feed.subscribe("2330", "m", 1)
    assert feed.tail("2330", "m", 1).Close.tolist() == [100.0]
    qm.ticks["2330"] = {**qm.ticks["2330"], "ticks": [], "old_ticks": []}
    qm.add_tick(tick("2024-03-04 09:00:20", 101.0))
    assert [r["close"] for r in qm.ticks["2330"]["ticks"]] == [101.0]
    assert feed.tail("2330", "m", 1).Close.tolist() == [101.0]
    qm.ticks["2330"]["last_tick"]["code"] = "X"  # changed, not held: refilled whole
    qm.add_tick(tick("2024-03-04 09:00:30", 101.0))
    assert qm.ticks["2330"]["last_tick"]["code"] == "2330"

    class Counted(QuoteManager):
        reads = 0

        @property
        def ticks(self):
            Counted.reads += 1
            return self.__dict__["ticks"]

        @ticks.setter
        def ticks(self, value):
            self.__dict__["ticks"] = value

    counted = Counted()
    for second in range(3):
        counted.add_tick(tick(f"2024-03-04 09:00:0{second}"))
    assert Counted.reads == 3 and len(counted.__dict__["ticks"]["2330"]["ticks"]) == 3


def test_clear_ticks_drops_everything():
    qm = stored("2024-03-04 09:00:00")
    qm.get_kbar("2330", "m", 1)
    qm.clear_ticks()
    assert qm.ticks == {}
    qm.add_tick(tick("2024-03-04 09:05:00"))
    assert len(qm.ticks["2330"]["ticks"]) == 1  # no gap filling from the dropped tick


@pytest.mark.parametrize("missing", ["timestamp", "code", "market_type", "close", "qty",
                                     "tick_type", "is_simulate"])
def test_tick_missing_a_key_stores_nothing(missing):
    qm = stored("2024-03-04 09:00:00")
    bad = tick("2024-03-04 09:05:00", code="2330")
    del bad[missing]
    with pytest.raises(KeyError, match=missing):
        qm.add_tick(bad)
    fresh = tick("2024-03-04 09:05:00", code="2317")
    del fresh[missing]
    with pytest.raises(KeyError):
        qm.add_tick(fresh)
    assert list(qm.ticks) == ["2330"] and len(qm.ticks["2330"]["ticks"]) == 1


@pytest.mark.parametrize("key, value", [
    ("close", "100"), ("qty", 1.5), ("qty", True), ("tick_type", 300), ("is_simulate", 0),
    ("code", 2330), ("market_type", None), ("timestamp", "now"),
])
def test_tick_values_that_cannot_be_stored_are_refused(key, value):
    qm = stored("2024-03-04 09:00:00")
    bad = tick("2024-03-04 09:05:00")
    bad[key] = value
    with pytest.raises((TypeError, ValueError)):
        qm.add_tick(bad)
    assert len(qm.ticks["2330"]["ticks"]) == 1
    assert qm.poped_tick_to_df("2330").height == 1


def test_argument_types_are_exact():
    qm = QuoteManager()
    with pytest.raises(TypeError, match="tick"):
        qm.add_tick([("code", "2330")])
    with pytest.raises(TypeError, match="code"):
        qm.poped_tick_to_df(2330)
    with pytest.raises(TypeError, match="code"):
        qm.poped_old_ticks_to_df(None)


def test_timestamps_match_datetime_fromtimestamp():
    qm = QuoteManager()
    for value in (1709514000, 1709514000.5, 1709514000.0000005, 1709514000.0000015,
                  1709514000.9999996, 170951400.25):
        qm.clear_ticks()
        t = tick("2024-03-04 10:00:00", market="Other")
        t["timestamp"] = value
        qm.add_tick(t)
        assert qm.ticks["2330"]["last_tick"]["dt"] == datetime.fromtimestamp(value)


@pytest.mark.parametrize("content, error", [
    (None, FileNotFoundError),
    ("day\n2024-01-01\n", pl.exceptions.ColumnNotFoundError),
    ("Date,name\n2024-01-01,x\n2024-02-06,y\n", None),
])
def test_holiday_file_is_read_from_the_static_folder(tmp_path, monkeypatch, content, error):
    if content is not None:
        (tmp_path / "holidays_search_from_2017.csv").write_text(content)
    monkeypatch.setattr(positions_module, "static_dir", str(tmp_path))
    if error:
        with pytest.raises(error):
            QuoteManager()
    else:
        assert QuoteManager().holiday_search_set == {"2024-01-01", "2024-02-06"}


@pytest.mark.parametrize("change", ["replace_time", "replace_pair", "append_pair", "clear"])
def test_windows_changed_in_place_take_effect_at_the_next_tick(change):
    """The store remembers the windows it read; a change inside the same lists counts."""
    qm = QuoteManager()
    windows = [[time(9, 30), time(9, 31, 59)]]
    qm.not_trade_times = {"Stock": windows}
    qm.add_tick(tick("2024-03-04 09:30:30"))
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 4, 9, 29, 59)
    if change == "replace_time":
        windows[0][1] = time(9, 30, 10)
    elif change == "replace_pair":
        windows[0] = [time(10, 0), time(10, 1)]
    elif change == "append_pair":
        windows[0][0] = time(11, 0)
        windows.append([time(12, 0), time(12, 1)])
    else:
        windows.clear()
    qm.add_tick(tick("2024-03-04 09:30:40"))
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 4, 9, 30, 40)


@pytest.mark.parametrize("zone", ["UTC0", "CST-8", "EST5EDT,M3.2.0,M11.1.0", "<+0530>-5:30"])
def test_tick_times_follow_the_zone_in_force_across_changes(zone, monkeypatch):
    """Store times are datetime.fromtimestamp's, also when TZ changes mid-process and in the
    hours around a daylight-saving change (2024-03-10 and 2024-11-03 in US Eastern)."""
    import os
    import time as clock

    starts = [1710052200.0, 1710054000.0, 1710055800.5, 1730611800.0, 1730613600.0,
              1730615400.25, 1730617200.0]
    monkeypatch.setenv("TZ", "UTC0")
    clock.tzset()
    QuoteManager().add_tick(dict(tick("2024-03-04 09:00:00"), timestamp=starts[0]))
    monkeypatch.setenv("TZ", zone)
    clock.tzset()
    try:
        for ts in starts:
            qm = QuoteManager()
            qm.not_trade_times = {}
            qm.add_tick(dict(tick("2024-03-04 09:00:00"), timestamp=ts))
            assert qm.ticks["2330"]["last_tick"]["dt"] == datetime.fromtimestamp(ts), ts
    finally:
        monkeypatch.undo()
        clock.tzset()
    assert os.environ.get("TZ") != zone
