"""Enumerations and constant tables shared by the native modules."""

from __future__ import annotations

import os
from enum import Enum


class _ValueEnum(Enum):
    """Enumeration with a lookup that also accepts its own members."""

    @classmethod
    def from_value(cls, value):
        if isinstance(value, cls):
            return value
        return cls(value)


class StrValueEnum(str, _ValueEnum):
    """A str enum whose members behave as their plain text everywhere.

    Members compare equal to, format as, JSON-encode as and print (also inside
    a dict's repr) as their value, so a record reads {'action': 'Buy'}.
    """

    def __str__(self) -> str:
        return str(self.value)

    # str's own repr of the member's text: the same output as repr(value), without a
    # Python-level call (records holding members are printed on every deal).
    __repr__ = str.__repr__

    def __format__(self, format_spec: str) -> str:
        return format(str(self.value), format_spec)

    __hash__ = str.__hash__


class _BasicInfo:
    """Process-wide settings; `data_dir` is the root of every file written or read."""

    def __init__(self) -> None:
        self.data_dir: str = os.path.abspath(os.path.join(os.getcwd(), "data"))

    def __repr__(self) -> str:
        return f"BasicInfo(data_dir={self.data_dir!r})"


BASIC_INFO = _BasicInfo()


class FLAG(StrValueEnum):
    """Status markers carried in the tick queue under the key "orva_status"."""

    exit_send_tick = "exit_send_tick"
    finish_backfilling = "finish_backfilling"


class Action(StrValueEnum):
    BUY = "Buy"
    SELL = "Sell"


class OperationType(StrValueEnum):
    NEW = "New"
    UPDATE_QTY = "UpdateQty"
    UPDATE_PRICE = "UpdatePrice"
    CANCEL = "Cancel"
    # The exchange refused the order (beyond the account's buying power); nothing rests.
    REJECT = "Reject"


class OrderType(StrValueEnum):
    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class PriceType(StrValueEnum):
    LMT = "LMT"
    MKT = "MKT"


class OrderCond(StrValueEnum):
    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class OrderLot(StrValueEnum):
    COMMON = "Common"
    FIXING = "Fixing"
    ODD = "Odd"
    INTRADAY_ODD = "IntradayOdd"


class OCType(StrValueEnum):
    AUTO = "Auto"
    NEW = "New"
    COVER = "Cover"
    DAY_TRADE = "DayTrade"


class SuccessCode(_ValueEnum):
    """Result codes copied into order reports as (code, message)."""

    CreateOrder = ("00", "新增委託成功")
    ModifyOrder = ("01", "修改委託成功")
    OrderBeCancel = ("02", "取消委託成功")
    InsufficientFunds = ("88", "委託失敗: 可用資金或保證金不足")

    @property
    def code(self) -> str:
        return self.value[0]

    @property
    def message(self) -> str:
        return self.value[1]


# Contract multiplier (money per index point) per futures code, as traded on TAIFEX.
FutureIndexContractValue: dict[str, int] = {
    "TXF": 200,
    "TXFR1": 200,
    "TXFR2": 200,
    "MXF": 50,
    "MXFR1": 50,
    "MXFR2": 50,
    "TMF": 10,
    "TMFR1": 10,
}
