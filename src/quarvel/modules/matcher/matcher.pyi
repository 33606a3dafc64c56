import logging

from quarvel.constant import (
    Action as Action,
    OCType as OCType,
    OperationType as OperationType,
    OrderCond as OrderCond,
    OrderLot as OrderLot,
    OrderType as OrderType,
    PriceType as PriceType,
    SuccessCode as SuccessCode
)
from quarvel.modules.positions.positions import (
    Positions as Positions
)
import quarvel.utils


# The simulated exchange: order intake, tick matching and order and deal reports.
import queue
from typing import Any

console: quarvel.utils.SafeConsole = ...

logger: logging.Logger = ...

class Matcher:
    pending_orders: list[dict[str, Any]]
    response_queue: queue.Queue[dict[str, Any]]
    pending_order_queue: queue.Queue[dict[str, Any]]
    current_tick_infos: dict[str, dict[str, Any]]
    positions: Positions
    account_info: dict[str, str]
    exchange_info: dict[str, str]

    def __init__(self, positions: Positions | None = None) -> None: ...

    def _Matcher__init_current_tick_info(self, code: str) -> dict: ...

    def _Matcher__get_random_uuid(self) -> str: ...

    def reset_tick_infos(self) -> None: ...

    def set_current_tick(self, tick: dict) -> None: ...

    def add_response_to_queue(self, response: dict) -> None: ...

    def pop_response(self) -> dict: ...

    def build_order_response(self, trade: dict, operation_type: OperationType, code_obj: SuccessCode) -> dict: ...

    def build_deal_response(self, trade: dict) -> dict: ...

    def get_simulation_stock_order_response(self, data: dict) -> dict: ...

    def get_simulation_future_order_response(self, data: dict) -> dict: ...

    def get_simulation_stock_deal_response(self, data: dict) -> dict: ...

    def get_simulation_future_deal_response(self, data: dict) -> dict: ...

    def add_order(self, code: str, product_type: str, action: str, price: int | float, qty: int, price_type: str, order_type: str, order_cond: str | None = 'Cash', order_lot: str | None = 'Common', oc_type: str | None = 'Auto') -> None: ...

    def modify_order(self, trade_id: str, qty: int | None = None, price: float | None = None) -> None: ...

    def cancel_order(self, trade_id: str) -> None: ...

    def add_pending_order_queue(self, action: str, payload: dict) -> None: ...

    def match_deal(self, code: str, tick_close: int | float, tick_qty: int, tick_ts: int | float) -> None: ...

    def _Matcher__receive_pending_order(self) -> None: ...
