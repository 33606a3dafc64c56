"""Bar events and bar views: bars followed natively from the quote store agree with
get_kbar on a real day (events, views, interleaved get_kbar calls), the driver's on_bar
path, and the view's shapes and bad arguments."""

import polars as pl
import pytest

from quarvel import backtest
from quarvel.backtest.bar_events import Bar, make_feed
from quarvel.modules.positions.positions import BarFeed, QuoteManager
from quote_ticks import futures_files, futures_ticks, tick
from shared_data import SHARED_TICKS
from test_results import market_run

DAY = "2025-01-08"
KEYS = [("TXFR1", "m", 1), ("TXFR1", "m", 5), ("TXFR1", "h", 1)]


def closed_part(qm, code, unit, freq):
    """get_kbar's bars before the one still forming, as Bar records."""
    table = qm.get_kbar(code, unit=unit, freq=freq)
    return [Bar(r["dt"], r["Open"], r["High"], r["Low"], r["Close"], r["Volume"], unit, freq)
            for r in table.head(table.height - 1).iter_rows(named=True)]


@pytest.mark.skipif(not futures_files(), reason="real tick files not available")
@pytest.mark.parametrize("kbar_every", [0, 997], ids=["no-get_kbar", "get_kbar-interleaved"])
def test_events_and_views_match_get_kbar_on_a_real_day(kbar_every):
    path = next(p for p in futures_files() if DAY in p.name)
    qm = QuoteManager()
    feed = make_feed(qm)
    for key in KEYS:
        feed.subscribe(*key)
    events = {key: [] for key in KEYS}
    for i, t in enumerate(futures_ticks(path)):
        qm.add_tick(t)
        for code, bar in feed.poll() or []:
            events[(code, bar.unit, bar.freq)].append(bar)
        if kbar_every and i % kbar_every == 0:
            view = feed.tail("TXFR1", "m", 1, 7)
            assert view.to_polars().equals(qm.get_kbar("TXFR1", "m", 1).tail(7))
    for key in KEYS:
        expected = closed_part(qm, *key)
        assert events[key] == expected and {type(b) for b in events[key]} == {Bar}, key
        assert feed.tail(*key).to_polars().equals(qm.get_kbar(key[0], unit=key[1], freq=key[2]))
    # quiet minutes are in get_kbar as flat bars of volume 0, and so among the events
    assert any(b.Volume == 0 and b.Open == b.Close for b in events[KEYS[0]])


class FollowsBars:
    bars = [("TXFR1", "m", 1)]

    def __init__(self):
        self.events, self.checks, self.late = [], [], []

    def on_start(self, context):
        context.subscribe_bars("TXFR1", "m", 5)

    def on_bar(self, context, code, bar):
        self.events.append((code, bar))
        self.late.append(context.tick["timestamp"] >= bar.dt.timestamp() + 60)
        if len(self.events) % 40 == 0:
            view = context.bars(code, "m", 1, n=30)
            whole = context.quote_manager.get_kbar(code, unit="m", freq=1)
            self.checks.append((view.to_polars(), whole.tail(30), view.Close, view["Volume"]))


@pytest.mark.timeout(300)
@pytest.mark.skipif(not SHARED_TICKS.is_dir(), reason="real tick files not available")
def test_driver_calls_on_bar_without_on_tick(tmp_path_factory):
    strategy = FollowsBars()
    with market_run(tmp_path_factory, "bars"):
        result = backtest.run_backtest(strategy, backtest.parse_codes("TXFR1:Future"), DAY, DAY,
                                       ticks_dir=str(SHARED_TICKS), write_reports=False,
                                       progress=False)
    assert result.ticks > 50_000 and all(strategy.late)
    fives = [b for _, b in strategy.events if b.freq == 5]
    ones = [b for _, b in strategy.events if b.freq == 1]
    assert len(ones) > 300 and 5 * len(fives) in range(len(ones) - 5, len(ones) + 5)
    assert all(b.dt.minute % 5 == 0 for b in fives) and strategy.checks
    for frame, expected, close, volume in strategy.checks:
        assert frame.equals(expected)
        assert close.tolist() == expected["Close"].to_list()
        assert volume.dtype.kind == "i" and volume.tolist() == expected["Volume"].to_list()


def test_view_shapes_resets_and_bad_arguments():
    qm = QuoteManager()
    feed = make_feed(qm)
    assert len(feed.tail("2330", "m", 1)) == 0 and feed.tail("2330", "m", 1).to_polars().is_empty()
    for when, close in [("2024-01-02 09:00:05", 10.0), ("2024-01-02 09:00:30", 12.0),
                        ("2024-01-02 09:01:10", 11.0)]:
        qm.add_tick(tick(when, close=close))
    view = feed.tail("2330", "m", 1, 5)
    assert (len(view), view.height, view.Close.tolist(), view["High"].tolist()) == \
        (2, 2, [12.0, 11.0], [12.0, 11.0])
    assert str(view.dt.dtype) == "datetime64[us]" and view["code"] == ["2330", "2330"]
    assert feed.tail("2330", "m", 1, 0).height == 0
    qm.clear_ticks()  # a new store: the series starts over
    qm.add_tick(tick("2024-01-03 09:00:00", close=20.0))
    assert feed.tail("2330", "m", 1).Close.tolist() == [20.0]
    with pytest.raises(TypeError, match="'unit' must be one of"):
        feed.tail("2330", "s", 1)
    with pytest.raises(ValueError, match="must not be negative"):
        feed.tail("2330", "m", 1, -1)
    with pytest.raises(KeyError):
        view["Nope"]
    with pytest.raises(TypeError):
        feed.tail(2330, "m", 1)
    with pytest.raises(TypeError, match="tuple subclass"):
        BarFeed(qm, dict, packs_only=True)


class SubscribesLate:
    def __init__(self):
        self.ticks, self.events, self.from_dt = 0, [], None

    def on_tick(self, context, tick):
        self.ticks += 1
        if self.ticks == 500:
            context.subscribe_bars("2330", "m", 5)
            self.from_dt = context.bars("2330", "m", 5, 1).to_polars()["dt"].item()

    def on_bar(self, context, code, bar):
        self.events.append(bar)


@pytest.mark.timeout(300)
def test_bars_subscribed_mid_run_start_with_the_next_close(tmp_path_factory):
    strategy = SubscribesLate()
    with market_run(tmp_path_factory, "late"):
        backtest.run_backtest(strategy, backtest.parse_codes("2330:Stock"), "2024-01-02",
                              "2024-01-02", progress=False, write_reports=False)
    assert strategy.events and strategy.events[0].dt == strategy.from_dt
    assert all(b.freq == 5 for b in strategy.events)
