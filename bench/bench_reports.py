"""Timing of the reporting methods of Positions. Prints figures; not part of the tests.

    PYTHONPATH=src:tests/python python bench/bench_reports.py
"""

import datetime as dt
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

import polars as pl  # noqa: E402

from quarvel.constant import BASIC_INFO  # noqa: E402
from quarvel.modules.positions import positions as module  # noqa: E402
from quarvel.modules.positions.positions import Positions  # noqa: E402
from reports_support import TICKS, QuoteStandIn, kbars, profit_row  # noqa: E402


class Silent:
    def print(self, *args, **kwargs):
        pass


def per_call(fn, repeat, rounds=5):
    """Best of `rounds` batches: the machine is shared, the minimum is the least disturbed."""
    fn()
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - start) / repeat)
    return best


def book(codes, entries):
    account = Positions()
    for c in range(codes):
        code = f"{2000 + c}"
        account.positions[code] = {"buy": [
            {"code": code, "price": 100.0 + e, "quantity": 1, "product_type": "Stock",
             "exchange_ts": 1.7e9 + e, "trade_id": f"{code}-{e}"} for e in range(entries)],
            "sell": []}
        account.product_type_mapper[code] = "Stock"
        account.current_tick_infos[code] = {"code": code, "close": 105.0}
    return account


def all_minute_bars():
    ticks = pl.read_csv(TICKS, columns=["ts", "close", "volume"])
    return (ticks.with_columns(pl.from_epoch("ts", time_unit="ns").dt.truncate("1m")
                               .cast(pl.Datetime("us")).alias("dt"))
            .group_by("dt", maintain_order=True)
            .agg(pl.col("close").first().alias("Open"), pl.col("close").max().alias("High"),
                 pl.col("close").min().alias("Low"), pl.col("close").last().alias("Close"),
                 pl.col("volume").sum().cast(pl.Int64).alias("Volume"))
            .with_columns(pl.lit("TXFR1").alias("code"))
            .select(["dt", "code", "Open", "High", "Low", "Close", "Volume"]).sort("dt"))


def main():
    module.console = Silent()
    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="quarvel-bench-")

    for codes, entries in [(10, 5), (100, 10)]:
        account = book(codes, entries)
        s = per_call(lambda: account._Positions__format_position_summary("Stock"), 200)
        d = per_call(lambda: account._Positions__format_position_detail("Stock"), 200)
        f = per_call(lambda: (account.fetch_positions("Stock"), account.pop_positions()), 200)
        print(f"{codes} codes x {entries} entries: summary {s * 1e6:.0f} us, detail "
              f"{d * 1e6:.0f} us, fetch+pop {f * 1e6:.0f} us")

    account = Positions()
    account.trade_records = [
        {"trade_id": f"id{i}", "code": "2330", "action": "Buy", "quantity": 1,
         "price": 600.0 + i % 7, "dt": "2024-01-02 09:01:37.500000", "trade_status": "Deal"}
        for i in range(100_000)]
    t = per_call(account.export_trade_records, 1, rounds=3)
    print(f"export_trade_records, 100000 records: {t * 1e3:.1f} ms")

    bars = all_minute_bars()
    day = dt.datetime(2025, 1, 8, 9, 0)
    account = Positions()
    account._profit_report["rows"] = [
        profit_row("TXFR1", (day + dt.timedelta(minutes=i)).isoformat(" "),
                   (day + dt.timedelta(minutes=i + 5)).isoformat(" "), 23500.0, 23510.0)
        for i in range(200)]
    quotes = QuoteStandIn({("TXFR1", "m"): bars})
    t = per_call(lambda: account.generate_standard_report("TXFR1", quotes), 5)
    size = os.path.getsize(os.path.join(BASIC_INFO.data_dir, "report", "TXFR1-report.html"))
    print(f"generate_standard_report, {bars.height} bars, 200 rows: {t * 1e3:.1f} ms, "
          f"{size} bytes")
    empty = QuoteStandIn({("TXFR1", "m"): kbars([], "TXFR1")})
    t = per_call(lambda: Positions().generate_standard_report("TXFR1", empty), 20)
    print(f"generate_standard_report, no bars, no rows: {t * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
