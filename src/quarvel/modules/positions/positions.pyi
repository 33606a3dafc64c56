"""The account ledger, position reports and the quote manager."""

from typing import Any

class Positions:
    positions: dict[str, dict[str, list[dict[str, Any]]]]
    trade_records: list[dict[str, Any]]
    product_type_mapper: dict[str, str]
    current_tick_infos: dict[str, Any]
    fetch_position_queue: Any
    finish_fetch_position_queue: Any
    wait_fetch_position_response_flag: bool
    initial_capital: int
    current_capital: int | float
    def __init__(self) -> None: ...
    @property
    def fee_settings(self) -> dict[str, Any]: ...
    def reset_fee_settings(self) -> None: ...
    def update_fee_settings(
        self,
        setting_type: str,
        action: str | None = None,
        fee: float | None = None,
        tax: float | None = None,
        per_trade_cost: int | None = None,
        tick_count: int | None = None,
        direction: str | None = None,
    ) -> None: ...
    def set_initial_capital(self, capital: int) -> None: ...
    def fetch_account_balance(self) -> int | float: ...
    def fetch_margin(self) -> int | float: ...
    def set_current_tick(self, tick: dict[str, Any]) -> None: ...
    def _Positions__ceil_price_by_tick(
        self, code: str, price: int | float
    ) -> tuple[int | float, int | float]: ...
    def _Positions__calculate_slippage_price(
        self, code: str, price: int | float, tick_count: int, direction: str
    ) -> float: ...
    def _Positions__apply_future_contract_value(self, code: str) -> int | float: ...
    def _Positions__calculate_trade_cost(
        self,
        code: str,
        action: str,
        price: int | float,
        quantity: int,
        product_type: str,
        ignore_tax: bool = False,
        need_reverse_direction: bool = True,
    ) -> dict[str, Any]: ...
    def _Positions__calculate_profit(
        self, cover_position: dict[str, Any], product_type: str
    ) -> dict[str, Any]: ...
    def _Positions__make_trade_record(
        self,
        trade_id: str,
        code: str,
        action: str,
        quantity: int,
        price: int | float,
        timestamp: int | float,
        trade_status: str,
    ) -> dict[str, Any]: ...
    def add_trade_record(
        self,
        trade_id: str,
        code: str,
        action: str,
        quantity: int,
        price: int | float,
        timestamp: int | float,
        trade_status: str,
    ) -> None: ...
    def set_positions(self, trade: dict[str, Any], product_type: str) -> None: ...
