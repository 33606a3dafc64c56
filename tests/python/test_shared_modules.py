"""The constant and utils modules as the native modules and users rely on them."""

import datetime as dt
import io
import json
import os

import pytest

from quarvel import constant, utils
from quarvel.constant import (
    FLAG,
    Action,
    OCType,
    OperationType,
    OrderCond,
    OrderLot,
    OrderType,
    PriceType,
    SuccessCode,
)


@pytest.mark.parametrize(
    "enum, value",
    [(Action, "Buy"), (Action, "Sell"), (OrderType, "ROD"), (OrderType, "IOC"),
     (OrderType, "FOK"), (PriceType, "LMT"), (OrderCond, "Cash"), (OrderLot, "Common"),
     (OCType, "Auto"), (OperationType, "New"), (OperationType, "Cancel")],
)
def test_str_enums_behave_as_their_plain_value(enum, value):
    member = enum.from_value(value)
    assert enum.from_value(member) is member
    assert member == value and hash(member) == hash(value)
    assert f"{member}" == value and str(member) == value
    assert json.dumps({"k": member}) == json.dumps({"k": value})
    assert repr({"action": member}) == repr({"action": value})


def test_enum_lookup_rejects_unknown_values():
    with pytest.raises(ValueError):
        Action.from_value("buy")


def test_fixed_values_and_defaults():
    assert Action.BUY.value == "Buy" and Action.SELL.value == "Sell"
    assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value
    for default in (OrderCond.CASH.value, OrderLot.COMMON.value, OCType.AUTO.value):
        assert isinstance(default, str)
    for member in (SuccessCode.CreateOrder, SuccessCode.ModifyOrder, SuccessCode.OrderBeCancel):
        assert isinstance(member.code, str) and isinstance(member.message, str)
    assert SuccessCode.from_value(SuccessCode.CreateOrder) is SuccessCode.CreateOrder


@pytest.mark.parametrize(
    "code, value",
    [("TXF", 200), ("TXFR1", 200), ("TXFR2", 200), ("MXF", 50), ("MXFR1", 50),
     ("MXFR2", 50), ("TMF", 10), ("TMFR1", 10)],
)
def test_future_contract_values(code, value):
    assert constant.FutureIndexContractValue[code] == value


def test_data_dir_is_absolute_and_assignable(monkeypatch):
    assert os.path.isabs(constant.BASIC_INFO.data_dir)
    assert os.path.basename(constant.BASIC_INFO.data_dir) == "data"
    monkeypatch.setattr(constant.BASIC_INFO, "data_dir", "/somewhere/else")
    assert constant.BASIC_INFO.data_dir == "/somewhere/else"


class TestConsole:
    def make(self):
        out = io.StringIO()
        return utils.SafeConsole(file=out, width=200, color_system=None), out

    @pytest.mark.parametrize(
        "text",
        [
            "[green]沖銷部位: {'code': '2330', 'tags': [1, 2]}[/green]",
            "[red]unbalanced [/bold] closing tag[/red]",
            "[/]",
            "plain [x] text",
        ],
    )
    def test_never_raises_and_keeps_bracketed_text(self, text):
        console, out = self.make()
        console.print(text)
        assert out.getvalue().strip()

    def test_colour_tags_are_rendered_not_printed(self):
        console, out = self.make()
        console.print("[bold pink1][做多進場]本金: 100000[/bold pink1]")
        assert out.getvalue().strip() == "[做多進場]本金: 100000"

    def test_dict_text_survives_as_text(self):
        console, out = self.make()
        console.print("[yellow]被沖銷部位: {'action': 'Buy', 'x': [1]}[/yellow]")
        assert "{'action': 'Buy', 'x': [1]}" in out.getvalue()


def test_logger_is_named_quarvel():
    assert utils.logger.name == "quarvel"


def test_make_dir_creates_parents_and_tolerates_existing(tmp_path):
    target = tmp_path / "a" / "b" / "c"
    utils.make_dir(str(target))
    utils.make_dir(str(target))
    assert target.is_dir()


class TestFormatToDt:
    def test_date_and_datetime_forms(self):
        day = utils.format_to_dt("2024-01-02")
        assert day == dt.datetime(2024, 1, 2)
        assert day.strftime("%Y-%m-%d") == "2024-01-02"
        assert utils.format_to_dt("2024-01-02 09:30:15") == dt.datetime(2024, 1, 2, 9, 30, 15)
        assert day <= day + dt.timedelta(days=1)

    @pytest.mark.parametrize("text", ["2024/01/02", "20240102", "", "2024-13-01"])
    def test_other_forms_raise_value_error(self, text):
        with pytest.raises(ValueError, match="2024|''"):
            utils.format_to_dt(text)


def test_nano_ts_is_taiwan_wall_clock_read_as_utc():
    # 2025-01-02 09:00:00 Taipei, written as if it were UTC.
    ts = int(dt.datetime(2025, 1, 2, 9, 0, tzinfo=dt.timezone.utc).timestamp()) * 10**9
    seconds = utils.format_nano_ts_to_second_ts(ts, 8)
    taipei = dt.timezone(dt.timedelta(hours=8))
    assert dt.datetime.fromtimestamp(seconds, taipei) == dt.datetime(2025, 1, 2, 9, 0, tzinfo=taipei)
