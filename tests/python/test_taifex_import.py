"""Importing the futures exchange's public trade-by-trade files into the tick cache."""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import polars as pl
import pytest

import quarvel
from quarvel.data import ImportRefused, import_taifex
from shared_data import SHARED_TAIFEX, SHARED_TICKS

HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價 "
NIGHT, DAY = "20250107", "20250108"
# (date, product, month, time, price, B+S volume, auction mark), in the file's order.
TRADES = [
    (DAY, "TX", "202501", "084500", "101", "8", "*"),
    (NIGHT, "TX", "202501", "150000", "100", "4", "*"),
    (NIGHT, "TX", "202501", "150000", "100", "2", ""),
    (NIGHT, "TX", "202501/202502", "150001", "5", "2", ""),
    (NIGHT, "TX", "202501", "150001", "99", "2", ""),
    (NIGHT, "TX", "202501W2", "150002", "98", "2", ""),
    (NIGHT, "TX", "202502", "150003", "110", "2", ""),
    (NIGHT, "MTX", "202501", "150004", "100", "2", ""),
    (NIGHT, "TX", "202501", "235959", "99", "2", ""),
    (DAY, "TX", "202501", "084500", "101", "2", ""),
    (DAY, "TX", "202501", "084501", "102", "2", ""),
    (DAY, "TMF", "202503", "090000", "90", "2", ""),
]


def source_text(trades=TRADES):
    rows = (f"{d},{p:<7},{m:<11},{t},{price},{v},-,-,{mark or ' '}"
            for d, p, m, t, price, v, mark in trades)
    return "\r\n".join([HEADER, *rows]) + "\r\n"


def write_public(folder, trades=TRADES, kind="zip", name="Daily_2025_01_08", raw=None):
    data = raw if raw is not None else source_text(trades).encode("big5")
    path = Path(folder) / f"{name}.{kind}"
    if kind == "zip":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(f"{name}.csv", data)
    else:
        path.write_bytes(data)
    return path


def ts(date, clock):
    return int(pl.Series([f"{date} {clock}"]).str.strptime(pl.Datetime("ns"), "%Y%m%d %H%M%S")
               .cast(pl.Int64)[0])


def cache(data_dir, code):
    return pl.read_csv(data_dir / "sino" / "ticks" / f"{code} 2025-01-08 - ticks.csv")


def run_cli(*args):
    env = {**os.environ, "PYTHONPATH": str(Path(quarvel.__file__).parents[1]),
           "PYTHONUTF8": "1", "COLUMNS": "200"}
    return subprocess.run([sys.executable, "-m", "quarvel.data", "taifex", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.skipif(not SHARED_TAIFEX.is_file(), reason="shared data folder absent")
def test_cli_rebuilds_the_shared_cache_file_byte_for_byte(tmp_path):
    done = run_cli(SHARED_TAIFEX, "--data-dir", tmp_path)
    assert done.returncode == 0, done.stderr
    assert "TXFR1" in done.stdout and "84,927" in done.stdout
    written = tmp_path / "sino" / "ticks" / "TXFR1 2025-01-08 - ticks.csv"
    assert written.read_bytes() == (SHARED_TICKS / written.name).read_bytes()
    assert os.listdir(written.parent) == [written.name]


@pytest.mark.timeout(300)
@pytest.mark.skipif(not SHARED_TAIFEX.is_file(), reason="shared data folder absent")
def test_imported_days_replay_without_a_broker_and_a_missing_day_is_a_problem(tmp_path):
    assert run_cli(SHARED_TAIFEX, "--data-dir", tmp_path).returncode == 0
    env = {**os.environ, "PYTHONPATH": str(Path(quarvel.__file__).parents[1]),
           "PYTHONUTF8": "1", "COLUMNS": "200"}

    def replay(start):
        return subprocess.run(
            [sys.executable, "-m", "quarvel.backtest", "--strategy",
             "quarvel.examples.ma_cross:MovingAverageCross", "--codes", "TXFR1:Future",
             "--start", start, "--end", "2025-01-08", "--data-dir", str(tmp_path),
             "--no-progress"], capture_output=True, text=True, env=env, timeout=280)

    whole = replay("2025-01-08")
    assert whole.returncode == 0, whole.stdout[-3000:] + whole.stderr[-3000:]
    assert "84,927" in whole.stdout and "tick cache" in whole.stdout
    # 2025-01-07 was never imported: a missing day, never made-up ticks.
    partial = replay("2025-01-07")
    assert partial.returncode == 1
    assert "2025-01-07" in partial.stdout and "84,927" in partial.stdout
    assert not (tmp_path / "synthetic").exists()


def test_ticks_are_sorted_stably_with_the_tick_test_restarted_at_each_auction(tmp_path):
    written = import_taifex([write_public(tmp_path)], data_dir=tmp_path)
    assert written.select("code", "day", "rows").rows() == [("TXFR1", "2025-01-08", 7)]
    ticks = cache(tmp_path, "TXFR1")
    assert ticks["ts"].to_list() == [
        ts(NIGHT, "150000"), ts(NIGHT, "150000"), ts(NIGHT, "150001"), ts(NIGHT, "235959"),
        ts(DAY, "084500"), ts(DAY, "084500"), ts(DAY, "084501")]
    # Same-second trades keep the file's order (auction first); an unchanged price right
    # after an auction stays 0; volumes are halved.
    assert ticks.select("close", "volume", "tick_type").rows() == [
        (100.0, 2, 0), (100.0, 1, 0), (99.0, 1, 2), (99.0, 1, 2),
        (101.0, 4, 0), (101.0, 1, 0), (102.0, 1, 1)]
    assert ticks.select("bid_price", "bid_volume", "ask_price", "ask_volume").unique().rows() \
        == [(0.0, 0, 0.0, 0)]


@pytest.mark.parametrize("kind, products, months, weekly, expected", [
    # spreads (202501/202502) never count; R2 is the next month present
    ("zip", "TX", "R1,R2", False, {"TXFR1": 7, "TXFR2": 1}),
    # weekly contracts join the months only when asked for, in expiry order
    ("zip", "TX", "R1,R2,R3", True, {"TXFR1": 1, "TXFR2": 7, "TXFR3": 1}),
    ("csv", ["MTX", "TMF"], [1, 2], False, {"MXFR1": 1, "TMFR1": 1}),
    ("zip", "TMF", "R2", False, {}),  # TMF trades one month only: nothing to write
])
def test_products_months_and_weekly_contracts_select_codes(tmp_path, kind, products, months,
                                                           weekly, expected):
    written = import_taifex(str(write_public(tmp_path, kind=kind)), products=products,
                            months=months, weekly=weekly, data_dir=tmp_path)
    assert dict(written.select("code", "rows").rows()) == expected


def truncate(path, keep):
    path.write_bytes(path.read_bytes()[:keep])
    return path


def damage(path):
    """Flip bytes inside the compressed data: the archive opens, its member does not."""
    data = bytearray(path.read_bytes())
    for i in range(60, 90):
        data[i] ^= 0x5A
    path.write_bytes(bytes(data))
    return path


def replace_row(index, **fields):
    order = ("date", "product", "month", "time", "price", "volume", "mark")
    trades = list(TRADES)
    trades[index] = tuple(fields.get(name, value) for name, value in zip(order, trades[index]))
    return trades


@pytest.mark.parametrize("make, rule, row", [
    (lambda d: write_public(d, replace_row(4, volume="3")), "must be even", 5),
    (lambda d: write_public(d, replace_row(4, volume="0")), "whole number > 0", 5),
    (lambda d: write_public(d, replace_row(4, price="9x")), "成交價格 must be a number", 5),
    (lambda d: write_public(d, replace_row(4, time="150060")), "成交時間", 5),
    (lambda d: write_public(d, replace_row(4, month="2025")), "YYYYMM", 5),
    # a trade outside the trading day: the cache rule, reported at the source row
    (lambda d: write_public(d, replace_row(4, date="20250106")), "outside the trading day", 5),
    (lambda d: write_public(d, raw=source_text().encode("utf-8")), "Big5", 0),
    (lambda d: truncate(write_public(d), 200), "not a readable zip", None),
    (lambda d: damage(write_public(d)), "not a readable zip", None),
    (lambda d: write_public(d, raw=source_text().encode("big5").replace(b"99,", b"\xff,", 1)),
     "not Big5", 5),
    (lambda d: write_public(d, raw=source_text().encode("big5")[:-10], kind="csv"),
     "missing fields", 12),
    (lambda d: write_public(d, raw=b"", kind="csv"), "header", 0),
    (lambda d: write_public(d, name="trades"), "Daily_YYYY_MM_DD", None),
])
def test_malformed_files_are_refused_with_row_and_rule(tmp_path, make, rule, row):
    make(tmp_path)
    with pytest.raises(ImportRefused) as refused:
        import_taifex([tmp_path], products="TX,MTX,TMF", months="R1,R2", data_dir=tmp_path / "d")
    (refusal,) = refused.value.refusals
    assert rule in refusal.fault.rule and refusal.fault.row == row
    assert refused.value.written.height == 0
    assert not any(files for _, _, files in os.walk(tmp_path / "d"))  # nor temporary files


def test_cli_reports_refused_files_and_argument_errors_by_exit_code(tmp_path):
    good = write_public(tmp_path)
    truncated = tmp_path / "Daily_2025_01_09.zip"
    truncated.write_bytes(good.read_bytes()[:-40])
    odd = write_public(tmp_path, replace_row(4, volume="3"), kind="csv", name="Daily_2025_01_10")
    done = run_cli(good, truncated, odd, "--data-dir", tmp_path / "d")
    assert done.returncode == 1
    assert f"refused {truncated}: not a readable zip" in done.stdout
    assert f"refused {odd}: row 5: 成交數量(B+S) must be even" in done.stdout
    assert "TXFR1" in done.stdout and os.listdir(tmp_path / "d" / "sino" / "ticks") == [
        "TXFR1 2025-01-08 - ticks.csv"]
    for args in (["--product", "TXO"], ["--months", "next"]):
        usage = run_cli(good, *args)
        assert usage.returncode == 2 and ("unknown product TXO" in usage.stderr
                                          or "R1, R2" in usage.stderr)


@pytest.fixture
def small_disk(tmp_path, tmpfs):
    """A 256 kB filesystem (tmpfs), for a cache file that cannot fit."""
    if not tmpfs(tmp_path / "disk", "size=256k"):
        pytest.skip("cannot mount a tmpfs here")
    return tmp_path / "disk"


def test_a_full_disk_refuses_the_file_and_keeps_the_previous_cache_file(tmp_path, small_disk):
    night = [(NIGHT, "TX", "202501", f"{15 + i // 3600:02d}{i // 60 % 60:02d}{i % 60:02d}",
              str(20000 + i % 7), "2", "") for i in range(30000)]
    source = write_public(tmp_path, night)
    folder = small_disk / "sino" / "ticks"
    folder.mkdir(parents=True)
    old = folder / "TXFR1 2025-01-08 - ticks.csv"
    old.write_text("previous contents\n")
    with pytest.raises(ImportRefused) as refused:
        import_taifex(source, data_dir=small_disk)
    assert "cannot write" in refused.value.refusals[0].fault.rule
    assert os.listdir(folder) == [old.name] and old.read_text() == "previous contents\n"
