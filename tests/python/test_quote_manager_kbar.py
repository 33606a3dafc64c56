"""K-bars of the quote manager: full builds against a polars reference, the incremental
update per cached key, bucket truncation for every unit, output forms and bad arguments."""

import random
from datetime import datetime, timedelta

import pandas as pd
import polars as pl
import pytest

from quarvel.modules.positions.positions import QuoteManager
from quote_ticks import futures_files, futures_ticks, reference_kbars, tick

KBAR_SCHEMA = {
    "dt": pl.Datetime("us"), "code": pl.Utf8, "Open": pl.Float64, "High": pl.Float64,
    "Low": pl.Float64, "Close": pl.Float64, "Volume": pl.Int64,
}
UNIT_ERROR = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']"


def quote_manager(*ticks, **kwargs):
    qm = QuoteManager()
    for t in ticks:
        qm.add_tick(tick(*t, **kwargs) if isinstance(t, tuple) else tick(t, **kwargs))
    return qm


def full_build(qm, code, unit, freq):
    """What a key built now from the whole history gives."""
    rows = qm.poped_old_ticks_to_df(code)
    return reference_kbars(rows, f"{freq}{unit}")


@pytest.mark.parametrize("unit, freq", [
    ("m", 1), ("m", 2), ("m", 5), ("m", 7), ("m", 13), ("h", 1), ("h", 5), ("d", 1), ("d", 3),
    ("w", 1), ("w", 2), ("mo", 1), ("mo", 2), ("mo", 5), ("q", 1), ("q", 3), ("y", 1), ("y", 4),
])
def test_buckets_follow_polars_truncate_over_many_timestamps(unit, freq):
    rng = random.Random(f"{unit}{freq}")
    qm = QuoteManager()
    start = datetime(1971, 1, 1)
    for _ in range(600):
        moment = start + timedelta(seconds=rng.randrange(0, 120 * 365 * 86400), microseconds=rng.randrange(10**6))
        qm.add_tick(tick(moment, close=float(rng.randrange(50, 150)), qty=rng.randrange(1, 9), market="Other"))
        qm.ticks["2330"]["last_tick"] = None  # no gap filling: only the buckets are under test
    got = qm.get_kbar("2330", unit, freq)
    assert got.schema == KBAR_SCHEMA
    assert got.equals(full_build(qm, "2330", unit, freq))


def test_month_and_week_buckets_start_on_calendar_boundaries():
    months = QuoteManager()
    weeks = QuoteManager()
    for moment in ("2024-01-31 10:00:00", "2024-02-01 10:00:00", "2024-02-29 12:00:00", "2024-03-03 12:00:00"):
        for q in (months, weeks):
            q.add_tick(tick(moment, market="Other"))
            q.ticks["2330"]["last_tick"] = None
    assert months.get_kbar("2330", "mo", 1)["dt"].to_list() == [
        datetime(2024, 1, 1), datetime(2024, 2, 1), datetime(2024, 3, 1)]
    assert weeks.get_kbar("2330", "w", 1)["dt"].to_list() == [
        datetime(2024, 1, 29), datetime(2024, 2, 26)]


def test_same_bucket_updates_the_last_bar_and_keeps_its_open():
    qm = quote_manager(("2024-03-04 09:00:05", 100.0, 2))
    first = qm.get_kbar("2330", "m", 1)
    assert first.rows() == [(datetime(2024, 3, 4, 9), "2330", 100.0, 100.0, 100.0, 100.0, 2)]
    for close, qty in ((103.0, 1), (98.0, 4), (101.0, 3)):
        qm.add_tick(tick("2024-03-04 09:00:40", close, qty))
    second = qm.get_kbar("2330", "m", 1)
    assert second.rows() == [(datetime(2024, 3, 4, 9), "2330", 100.0, 103.0, 98.0, 101.0, 10)]
    assert first.rows()[0][-1] == 2  # a table handed out earlier does not change
    qm.add_tick(tick("2024-03-04 09:01:10", 102.0, 1))
    assert qm.get_kbar("2330", "m", 1)["Close"].to_list() == [101.0, 102.0]


def test_no_new_rows_returns_the_cached_table_with_expressions_added():
    qm = quote_manager("2024-03-04 09:00:05", ("2024-03-04 09:01:10", 101.0))
    table = qm.get_kbar("2330", "m", 1)
    assert qm.get_kbar("2330", "m", 1) is table
    extended = qm.get_kbar("2330", "m", 1, exprs=[(pl.col("Close") * 2).alias("double")])
    assert extended.columns == list(KBAR_SCHEMA) + ["double"]
    assert extended["double"].to_list() == [200.0, 202.0]
    assert qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)].columns == list(KBAR_SCHEMA)
    assert "exprs: List[pl.Expr] = []" in QuoteManager.get_kbar.__doc__


def test_late_and_simulated_rows_count_only_in_full_builds():
    qm = quote_manager(("2024-03-04 09:00:05", 100.0, 1), ("2024-03-04 09:01:05", 101.0, 1))
    qm.get_kbar("2330", "m", 1)
    qm.add_tick(tick("2024-03-04 09:00:50", 90.0, 5))  # late: an earlier bucket
    qm.add_tick(tick("2024-03-04 09:01:20", 120.0, 7, simulate=True))  # trial matching
    qm.add_tick(tick("2024-03-04 09:01:30", 102.0, 1))
    incremental = qm.get_kbar("2330", "m", 1)
    assert incremental.rows() == [
        (datetime(2024, 3, 4, 9, 0), "2330", 100.0, 100.0, 100.0, 100.0, 1),
        (datetime(2024, 3, 4, 9, 1), "2330", 101.0, 102.0, 101.0, 102.0, 2),
    ]
    fresh = qm.get_kbar("2330", "m", 2)  # a key built now sees every row
    assert fresh.rows() == [(datetime(2024, 3, 4, 9, 0), "2330", 100.0, 120.0, 90.0, 102.0, 15)]


def test_every_cached_key_sees_every_row_once():
    qm = QuoteManager()
    moments = [datetime(2024, 3, 4, 9, 0, 3) + timedelta(seconds=17 * i) for i in range(200)]
    for i, moment in enumerate(moments):
        qm.add_tick(tick(moment, close=100.0 + (i * 7) % 11, qty=1 + i % 3))
        qm.get_kbar("2330", "m", 1)
        if i % 37 == 0:
            qm.get_kbar("2330", "m", 5)
        if i % 50 == 0:
            qm.poped_tick_to_df("2330")  # rows handed out by another caller
    for unit, freq in (("m", 1), ("m", 5)):
        assert qm.get_kbar("2330", unit, freq).equals(full_build(qm, "2330", unit, freq))


def test_unknown_code_gives_an_empty_table_that_is_not_cached():
    qm = QuoteManager()
    empty = qm.get_kbar("2330", "m", 1)
    assert empty.schema == KBAR_SCHEMA and empty.height == 0
    assert isinstance(qm.get_kbar("2330", "d", 1, to_pandas_df=True), pd.DataFrame)
    assert qm.ticks == {}


@pytest.mark.parametrize("freq", [0, -1, -5])
def test_non_positive_freq_is_refused_before_rows_move(freq):
    qm = quote_manager("2024-03-04 09:00:05", "2024-03-04 09:00:10")
    with pytest.raises(ValueError):
        qm.get_kbar("2330", "m", freq)
    assert len(qm.ticks["2330"]["ticks"]) == 2 and len(qm.ticks["2330"]["old_ticks"]) == 0
    assert qm.get_kbar("2330", "m", 1)["Volume"].to_list() == [2]


@pytest.mark.parametrize("args, error, message", [
    ((2330, "m", 1), TypeError, "code"),
    (("2330", "m", True), TypeError, "freq"),
    (("2330", "m", 1.0), TypeError, "freq"),
    (("2330", "m", 1, ()), TypeError, "exprs"),
    (("2330", "s", 1), TypeError, UNIT_ERROR),
    (("2330", None, 1), TypeError, UNIT_ERROR),
    (("2330", "M", 1), TypeError, UNIT_ERROR),
])
def test_bad_arguments_change_nothing(args, error, message):
    qm = quote_manager("2024-03-04 09:00:05")
    with pytest.raises(error) as info:
        qm.get_kbar(*args)
    assert message in str(info.value)
    assert len(qm.ticks["2330"]["ticks"]) == 1 and qm.ticks["2330"]["cached_kbars"] == {}


def test_pandas_output_keeps_the_polars_table_in_the_cache():
    qm = quote_manager("2024-03-04 09:00:05", ("2024-03-04 09:01:10", 101.0))
    out = qm.get_kbar("2330", "m", 1, to_pandas_df=1)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == list(KBAR_SCHEMA)
    assert out["Close"].tolist() == [100.0, 101.0]
    assert isinstance(qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)], pl.DataFrame)
    with_expr = qm.get_kbar(code="2330", unit="m", freq=1, exprs=[pl.lit(1).alias("one")], to_pandas_df=True)
    assert list(with_expr.columns) == list(KBAR_SCHEMA) + ["one"]


def test_a_table_put_in_the_cache_by_a_caller_is_continued():
    qm = quote_manager("2024-03-04 09:00:05", ("2024-03-04 09:01:10", 101.0, 4))
    table = qm.get_kbar("2330", "m", 1)
    qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)] = table.head(1)
    qm.add_tick(tick("2024-03-04 09:02:10", 102.0, 1))
    assert qm.get_kbar("2330", "m", 1)["Close"].to_list() == [100.0, 102.0]
    del qm.ticks["2330"]["cached_kbars"][("2330", "m", 1)]
    assert qm.get_kbar("2330", "m", 1)["Close"].to_list() == [100.0, 101.0, 102.0]


def test_aggregate_kbar_groups_a_tick_table_with_bucket_column():
    qm = quote_manager("2024-03-04 09:00:05", ("2024-03-04 09:00:40", 103.0, 2),
                       ("2024-03-04 09:01:10", 99.0, 3))
    ticks = qm.poped_tick_to_df("2330").with_columns(pl.col("dt").dt.truncate("1m").alias("kbar_time"))
    bars = qm.aggregate_kbar(ticks).sort("dt")
    assert bars.columns == list(KBAR_SCHEMA)
    assert bars.rows() == [(datetime(2024, 3, 4, 9, 0), "2330", 100.0, 103.0, 100.0, 103.0, 3),
                           (datetime(2024, 3, 4, 9, 1), "2330", 99.0, 99.0, 99.0, 99.0, 3)]


@pytest.mark.skipif(not futures_files(), reason="futures tick data not available")
@pytest.mark.parametrize("every_tick", [False, True])
def test_real_futures_day_matches_the_polars_reference(every_tick):
    path = futures_files()[1]  # 2025-01-02: a holiday night session and a 13:45:00 trade
    ticks = futures_ticks(path)
    qm = QuoteManager()
    keys = [("m", 1), ("m", 5), ("h", 1), ("d", 1)]
    for i, t in enumerate(ticks):
        qm.add_tick(t)
        if every_tick and i % 7 == 0:
            qm.get_kbar("TXFR1", *keys[i % len(keys)])
    for unit, freq in keys:
        got = qm.get_kbar("TXFR1", unit, freq)
        assert got.equals(full_build(qm, "TXFR1", unit, freq)), (unit, freq)
    minutes = qm.get_kbar("TXFR1", "m", 1)
    assert minutes["Volume"].sum() == sum(t["qty"] for t in ticks)
    # The 13:45:00 trade sits in the 13:44 bar; no bar inside a window.
    times = minutes["dt"].dt.time()
    assert times.max() <= datetime(2000, 1, 1, 23, 59).time()
    assert not minutes.filter(((times >= datetime(2000, 1, 1, 13, 45).time()) & (times < datetime(2000, 1, 1, 15).time())) | ((times >= datetime(2000, 1, 1, 5).time()) & (times < datetime(2000, 1, 1, 8, 45).time()))).height
