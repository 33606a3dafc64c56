"""Paced playback: stream order, pacing, backfilling, stop and restart."""

import queue
import threading
import time

import polars as pl
import pytest

from quarvel.modules.ticker.ticker import HandoffQueue, Ticker
from quarvel.utils import format_nano_ts_to_second_ts
from ticker_fakes import (BACKFILL_DONE, END, REAL_TICKS, FakeBroker,  # noqa: F401
                          drain_stream, logged, shape, take)

pytestmark = [pytest.mark.timeout(60),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")]

MAIN, BACK = "2024-01-03", "2024-01-02"
STOCK = [{"code": "2330", "market": "Stock"}]
KEYS = ["market_type", "timestamp", "code", "close", "qty", "tick_type", "is_simulate",
        "is_backfilling"]


def broker(main_rows=3, back_rows=2, **kwargs):
    days = {("2330", MAIN): [(i, 580 + i, i + 1) for i in range(main_rows)],
            ("2330", BACK): [(i, 570 + i, 1) for i in range(back_rows)]}
    return FakeBroker(days, **kwargs)


@pytest.fixture(params=["native", "queue.Queue"])
def make_ticker(request, data_dir, printed):
    """Tickers whose three queues are HandoffQueues or the standard library's queues."""
    def make(api):
        ticker = Ticker(api)
        kind = HandoffQueue if request.param == "native" else queue.Queue
        for name in ("tick_queue", "allow_next_tick_flag_queue",
                     "backfilling_notify_finish_queue"):
            setattr(ticker, name, kind())
        ticker.allow_next_tick_flag_queue.put(True)
        return ticker
    return make


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail("condition not reached in time")
        time.sleep(0.005)


def nothing_arrives(ticker, within=0.2):
    try:
        item = ticker.tick_queue.get(timeout=within)
    except queue.Empty:
        return True
    pytest.fail(f"unexpected item {item!r}")


def test_three_ticks_are_paced_one_per_token(make_ticker, printed):
    ticker = make_ticker(broker())
    ticker.send_ticks(STOCK, MAIN, MAIN)
    ticks = []
    for _ in range(3):
        ticks.append(ticker.pop_tick())
        assert nothing_arrives(ticker)
        ticker.allow_next_tick()
    assert ticker.pop_tick() == END
    assert [t["close"] for t in ticks] == [580.0, 581.0, 582.0]
    for tick, qty in zip(ticks, [1, 2, 3]):
        assert list(tick) == KEYS
        assert tick["market_type"] == "Stock" and tick["code"] == "2330"
        assert tick["qty"] == qty and tick["tick_type"] == 1
        assert tick["is_simulate"] is False and tick["is_backfilling"] is False
    first_ts = ticker.get_ticks_df("2330", "Stock", MAIN, MAIN)["ts"][0]
    assert ticks[0]["timestamp"] == format_nano_ts_to_second_ts(first_ts, 8)
    wait_for(lambda: any("已傳送" in line for line in printed.lines))
    summary = [line for line in printed.lines if "已傳送" in line][0]
    assert summary.startswith("[green]傳送 Tick 資料結束, 需傳送資料共 3 筆, 已傳送 3 筆, 耗時 ")
    assert "[green]開始傳送 Tick 資料, Tick 數 3. ...[/green]" in printed.lines
    assert ticker.exit_send_thread_flag is True


def test_backfilled_ticks_come_first_then_one_marker(make_ticker):
    ticker = make_ticker(broker(main_rows=1, back_rows=2))
    ticker.send_ticks(STOCK, MAIN, MAIN, BACK, BACK)
    items = drain_stream(ticker)
    assert shape(items) == "bbBtE"
    assert [i["close"] for i in items if "close" in i] == [570.0, 571.0, 580.0]
    assert ticker.current_send_ticks_params == {
        "codes": STOCK, "start_from": MAIN, "end_to": MAIN,
        "backfilling_start_from": BACK, "backfilling_end_to": BACK}


@pytest.mark.parametrize("back_rows", [0, 2])
def test_marker_is_sent_even_when_backfilling_ended_before_playback_looked(make_ticker,
                                                                           back_rows):
    api = broker(main_rows=1, back_rows=back_rows)
    ticker = make_ticker(api)
    plain_ticks = api.ticks

    def slow_main_day(contract, date):
        # The main range is combined only after backfilling has finished.
        if date == MAIN:
            wait_for(lambda: ticker.backfilling_finish_flag is True)
        return plain_ticks(contract, date)

    api.ticks = slow_main_day
    sender = threading.Thread(target=ticker.send_ticks, args=(STOCK, MAIN, MAIN, BACK, BACK))
    sender.start()
    items = drain_stream(ticker)
    sender.join(timeout=10)
    assert shape(items) == "b" * back_rows + "BtE"


@pytest.mark.parametrize("back_from,back_to", [("not-a-date", BACK), (BACK, None), ("", BACK)])
def test_failing_or_half_given_backfilling_still_ends_with_marker(make_ticker, printed,
                                                                  back_from, back_to):
    ticker = make_ticker(broker(main_rows=2))
    ticker.send_ticks(STOCK, MAIN, MAIN, back_from, back_to)
    assert shape(drain_stream(ticker)) == "BttE"


def test_backfilling_error_is_printed(make_ticker, printed):
    ticker = make_ticker(broker(main_rows=1))
    ticker.send_ticks(STOCK, MAIN, MAIN, "not-a-date", BACK)
    drain_stream(ticker)
    assert any(line.startswith("[red]回補 Tick 資料失敗, 錯誤訊息: ") for line in printed.lines)


def test_empty_main_range_keeps_backfilled_ticks_before_the_end(make_ticker):
    ticker = make_ticker(broker(main_rows=0, back_rows=2))
    ticker.send_ticks(STOCK, MAIN, MAIN, BACK, BACK)
    assert shape(drain_stream(ticker)) == "bbBE"


def test_empty_main_range_ends_at_once_without_taking_a_token(make_ticker, printed):
    ticker = make_ticker(broker(main_rows=0))
    ticker.send_ticks(STOCK, MAIN, MAIN)
    assert ticker.pop_tick() == END
    wait_for(lambda: "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" in printed.lines)
    assert ticker.allow_next_tick_flag_queue.qsize() == 1


def test_direct_playback_of_an_empty_table_on_a_fresh_ticker_ends_at_once(data_dir, printed):
    ticker = Ticker(FakeBroker({}))
    empty = ticker._Ticker__process_and_combine_ticks(STOCK, MAIN, MAIN)
    worker = threading.Thread(target=ticker._Ticker__push_tick_to_queue, args=(empty,),
                              daemon=True)
    worker.start()
    worker.join(timeout=5)
    assert not worker.is_alive() and ticker.pop_tick() == END


def test_stop_ends_the_stream_and_no_tick_follows(make_ticker, printed):
    ticker = make_ticker(broker(main_rows=5))
    ticker.send_ticks(STOCK, MAIN, MAIN)
    assert ticker.pop_tick()["close"] == 580.0
    ticker.stop_send_ticks()
    assert ticker.exit_send_thread_flag is True
    assert ticker.pop_tick() == END
    ticker.allow_next_tick()
    assert nothing_arrives(ticker, within=0.3)
    # The playback handed the token back instead of using it.
    wait_for(lambda: ticker.allow_next_tick_flag_queue.qsize() == 1)
    wait_for(lambda: any("已傳送 1 筆" in line for line in printed.lines))


def test_a_finished_playback_can_be_followed_by_another(make_ticker):
    ticker = make_ticker(broker(main_rows=2))
    for _ in range(3):
        ticker.send_ticks(STOCK, MAIN, MAIN)
        assert shape(drain_stream(ticker)) == "ttE"


def test_a_new_playback_never_receives_ticks_of_the_old_one(make_ticker):
    days = {("2330", MAIN): [(i, 500, 1) for i in range(50)],
            ("2317", MAIN): [(i, 100, 1) for i in range(3)]}
    ticker = make_ticker(FakeBroker(days))
    for _ in range(5):
        ticker.send_ticks(STOCK, MAIN, MAIN)
        for _ in range(3):
            assert ticker.pop_tick()["code"] == "2330"
            ticker.allow_next_tick()
        ticker.send_ticks([{"code": "2317", "market": "Stock"}], MAIN, MAIN)
        items = drain_stream(ticker)
        assert shape(items) == "tttE"
        assert {i["code"] for i in items[:-1]} == {"2317"}


@pytest.mark.parametrize("df", [
    pl.DataFrame({"ts": [1], "close": [1.0], "volume": [1], "tick_type": [1], "code": ["X"]}),
    pl.DataFrame({"ts": [1], "close": [None], "volume": [1], "tick_type": [1], "code": ["2330"]},
                 schema_overrides={"close": pl.Float64}),
    pl.DataFrame({"ts": [1]}),
])
def test_an_error_in_the_playback_thread_is_reported_and_ends_the_stream(make_ticker, printed,
                                                                         logged, df):
    ticker = make_ticker(broker())
    ticker.code_market_map["2330"] = "Stock"
    thread = threading.Thread(target=ticker._Ticker__push_tick_to_queue, args=(df,))
    thread.start()
    thread.join(timeout=10)
    assert not thread.is_alive()
    assert take(ticker) == END
    assert ticker.exit_send_thread_flag is True
    red = [line for line in printed.lines if line.startswith("[red]傳送 Tick 資料失敗, 錯誤訊息: ")]
    assert len(red) == 1 and len(logged.records) == 1
    assert list(logged.records[0]) == ["error", "traceback", "data"]


def test_backfilling_without_a_range_reports_its_end_and_raises(make_ticker):
    ticker = make_ticker(broker())
    ticker.backfilling_finish_flag = False
    with pytest.raises(ValueError, match="^回補資料的開始時間與結束時間不能為空$"):
        ticker.backfilling(STOCK, BACK)
    assert ticker.backfilling_finish_flag is True
    assert ticker.backfilling_notify_finish_queue.get_nowait() == BACKFILL_DONE


def test_pop_tick_lets_ctrl_c_through(make_ticker):
    import signal
    ticker = make_ticker(broker())
    main = threading.get_ident()
    timer = threading.Timer(0.2, signal.pthread_kill, args=(main, signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ticker.pop_tick()
    timer.join(timeout=5)


@pytest.mark.parametrize("args,name", [
    (("2330", MAIN, MAIN), "codes"),
    ((STOCK, 1, MAIN), "start_from"),
    ((STOCK, MAIN, None), "end_to"),
    ((STOCK, MAIN, MAIN, 3), "backfilling_start_from"),
    ((STOCK, MAIN, MAIN, None, b"x"), "backfilling_end_to"),
])
def test_send_ticks_checks_argument_types(make_ticker, args, name):
    api = broker()
    with pytest.raises(TypeError, match=name):
        make_ticker(api).send_ticks(*args)
    assert api.calls == []


def test_real_day_plays_back_completely(make_ticker):
    from quarvel.offline_api import OfflineAPI
    if REAL_TICKS is None:
        pytest.skip("real data absent")
    ticker = make_ticker(OfflineAPI(tick_dir=REAL_TICKS))
    ticker.send_ticks([{"code": "TXFR1", "market": "Future"}], "2025-01-08", "2025-01-08")
    count, volume, last = 0, 0, 0.0
    while True:
        tick = ticker.pop_tick()
        if tick == END:
            break
        assert tick["timestamp"] >= last
        last, count, volume = tick["timestamp"], count + 1, volume + tick["qty"]
        ticker.allow_next_tick()
    assert (count, volume) == (84_927, 113_483)


def test_repeated_stop_and_restart_never_leaks_ticks(make_ticker):
    ticker = make_ticker(broker(main_rows=40))
    for taken in [0, 1, 5, 39, 40, 3, 0, 7]:
        ticker.send_ticks(STOCK, MAIN, MAIN)
        closes = []
        for _ in range(taken):
            closes.append(ticker.pop_tick()["close"])
            ticker.allow_next_tick()
        ticker.stop_send_ticks()
        items = drain_stream(ticker, grant=False)
        # At most the tick already granted arrives before the end marker, in order.
        closes += [i["close"] for i in items[:-1]]
        assert closes == [580.0 + i for i in range(len(closes))]
        assert len(closes) <= taken + 1
        ticker.allow_next_tick()
        # A stream that had already ended gets a second end marker from the stop; no tick.
        late = []
        while True:
            try:
                late.append(ticker.tick_queue.get(timeout=0.05))
            except queue.Empty:
                break
        assert all(item == END for item in late)
    ticker.send_ticks(STOCK, MAIN, MAIN)
    assert shape(drain_stream(ticker)) == "t" * 40 + "E"
