import logging

import polars

import quarvel.constant
from quarvel.constant import FLAG as FLAG
import quarvel.utils
from quarvel.utils import (
    format_nano_ts_to_second_ts as format_nano_ts_to_second_ts,
    format_to_dt as format_to_dt,
    make_dir as make_dir
)


# Tick source: broker download, file cache, combining and paced playback.
from typing import Any

BASIC_INFO: quarvel.constant._BasicInfo = ...

console: quarvel.utils.SafeConsole = ...

logger: logging.Logger = ...

class HandoffQueue:
    """
    Unbounded FIFO with queue.Queue's methods, for hand-offs between threads.

    Waiting consumers spin for up to `spin_micros` microseconds before they
    sleep (0 sleeps at once); every wait releases the GIL.
    """

    def __init__(self, maxsize: int = 0, spin_micros: int = 50) -> None: ...

    def put(self, item: object, block: bool = True, timeout: float | None = None) -> None: ...

    def put_nowait(self, item: object) -> None: ...

    def get(self, block: bool = True, timeout: float | None = None) -> object: ...

    def get_nowait(self) -> object: ...

    def qsize(self) -> int: ...

    def empty(self) -> bool: ...

    def full(self) -> bool: ...

    @property
    def maxsize(self) -> int: ...

    @property
    def spin_micros(self) -> int: ...

    @spin_micros.setter
    def spin_micros(self) -> int: ...

class Ticker:
    api: object
    allow_next_tick_flag_queue: Any
    backfilling_notify_finish_queue: Any
    backfilling_finish_flag: bool
    exit_send_thread_flag: bool
    tick_file_save_path: str
    tick_queue: Any
    code_market_map: dict[str, str]
    tick_df_schema: dict[str, Any]
    current_send_ticks_params: dict[str, Any]

    def __init__(self, sino_api: object) -> None: ...

    def _Ticker__generate_save_path(self, file_name: str | None = None, *sub_folder: str) -> str: ...

    def _Ticker__tick_filename_formatter(self, code: str, date: str) -> str: ...

    def _Ticker__make_sino_contract_object(self, code: str, market_type: str) -> object: ...

    def fetch_sino_history_ticks(self, code: str, product_type: str, start_from: str, end_to: str) -> polars.DataFrame: ...

    def _Ticker__auto_fetch_ticks(self, code: str, product_type: str, date: str) -> polars.DataFrame: ...

    def _Ticker__process_and_combine_ticks(self, codes: list, start_from: str, end_to: str) -> polars.DataFrame: ...

    def get_ticks_df(self, code: str, market_type: str, start_from: str, end_to: str) -> polars.DataFrame: ...

    def send_ticks(self, codes: list, start_from: str, end_to: str, backfilling_start_from: str | None = None, backfilling_end_to: str | None = None) -> None: ...

    def backfilling(self, codes: list, start_from: str | None = None, end_to: str | None = None) -> None: ...

    def pop_tick(self) -> dict: ...

    def allow_next_tick(self) -> None: ...

    def stop_send_ticks(self) -> None: ...

    def _Ticker__push_tick_to_queue(self, df: polars.DataFrame) -> None: ...

    def _Ticker__notify_backfilling_finish(self) -> None: ...

class ReplayStep:
    """
    One call per tick: release the last tick, take the next and run the exchange's and the quote store's per-tick calls on it.
    """

    def __call__(self) -> dict | tuple[dict, list]:
        """The next item: a status marker, a tick, or (tick, closed) when bars of the feed
        closed at that tick."""

    def __init__(self, ticker: Ticker, matcher: object, quote_manager: object, bar_feed: object | None = None) -> None: ...

    @property
    def closed(self) -> list | None:
        """
        What bar_feed.poll() returned after the last tick: the bars that closed, or None.
        """
