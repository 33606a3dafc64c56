"""Trade records: the journal of deals and cancellations, stamped in local time."""

import datetime
import os
import time

import pytest

from quarvel.constant import Action
from quarvel.modules.positions.positions import Positions

FORMAT = "%Y-%m-%d %H:%M:%S.%f"

TIMESTAMPS = [
    0, 0.5, 1.0000005, 1.0000015, 0.9999995, 0.99999949, -0.5, -1.0000005, -0.0000005,
    -1.25, -86400.75, 1e-7, -1e-7, 1700000000, 1700000000.123456, 1700000000.1234565,
    1700000000.9999996, 1711846800.5, 1699164000.25, 1635634800.75, 253402300799.999999,
    -2208988800.5, -30610224000, 2 ** 40 + 0.5,
]

ZONES = ["UTC", "Asia/Taipei", "America/New_York", "Europe/London", "Australia/Lord_Howe"]


@pytest.fixture
def local_zone():
    """Switches the process time zone for one test and restores it."""
    saved = os.environ.get("TZ")

    def switch(zone):
        os.environ["TZ"] = zone
        time.tzset()

    yield switch
    if saved is None:
        os.environ.pop("TZ", None)
    else:
        os.environ["TZ"] = saved
    time.tzset()


def outcome(convert, timestamp):
    """The text, or the error type and message, of one conversion."""
    try:
        return convert(timestamp)
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)


def python_dt(timestamp):
    return datetime.datetime.fromtimestamp(timestamp).strftime(FORMAT)


def record_dt(timestamp):
    return Positions()._Positions__make_trade_record("t", "2330", "Buy", 1, 600, timestamp,
                                                     "Deal")["dt"]


@pytest.mark.parametrize("zone", ZONES)
def test_dt_equals_datetime_fromtimestamp(local_zone, zone):
    local_zone(zone)
    for ts in TIMESTAMPS:
        assert outcome(record_dt, ts) == outcome(python_dt, ts), (zone, ts)


def test_dt_across_a_day_of_fractions(local_zone):
    local_zone("America/New_York")
    for i in range(-5000, 5000):
        ts = 1699164000 + i * 8.6400037
        assert record_dt(ts) == python_dt(ts), ts


def test_half_second_has_six_fraction_digits():
    assert record_dt(0.5).endswith(".500000")
    assert record_dt(3).endswith(".000000")


@pytest.mark.parametrize("timestamp", [float("nan"), float("inf"), 1e20, 10 ** 30, -1e18,
                                       253402300799.9999999])
def test_out_of_range_timestamps_fail_as_datetime_does(local_zone, timestamp):
    local_zone("UTC")
    expected = outcome(python_dt, timestamp)
    assert isinstance(expected, tuple)
    assert outcome(record_dt, timestamp) == expected


def test_add_trade_record_appends_in_order_with_keywords():
    p = Positions()
    p.add_trade_record(trade_id="a1", code="2330", action=Action.BUY, quantity=2, price=600,
                       timestamp=1700000000.25, trade_status="Deal")
    p.add_trade_record("a1", "2330", "Buy", 1, 601.5, 1700000001, "Cancel")
    first, second = p.trade_records
    assert list(first) == ["trade_id", "code", "action", "quantity", "price", "dt",
                           "trade_status"]
    assert first["action"] is Action.BUY
    assert first["price"] == 600.0 and type(first["price"]) is float
    assert (second["quantity"], second["trade_status"]) == (1, "Cancel")
    assert p.positions == {} and p.current_capital == 100000


@pytest.mark.parametrize("field, value", [
    ("trade_id", 1), ("code", None), ("quantity", 1.0), ("quantity", True),
    ("price", None), ("price", "600"), ("timestamp", None), ("timestamp", True),
])
def test_wrong_types_append_nothing(field, value):
    p = Positions()
    args = dict(trade_id="a", code="2330", action="Buy", quantity=1, price=600.0,
                timestamp=0.0, trade_status="Deal")
    args[field] = value
    with pytest.raises(TypeError, match=field):
        p.add_trade_record(**args)
    assert p.trade_records == []
