"""Runs from Python: what a run expects, what it reports missing, and where it writes."""

import os
import threading
import time

import polars as pl
import pytest

from quarvel import backtest
from quarvel.data import problems as kinds
from quarvel.data.calendar import session_bounds
from quarvel.data.validate import HEADER, read_and_check

from run_support import DAY, NEXT_DAY, FakeBroker, Quiet, synthetic_day, tick_folder

STOCK = [{"code": "2330", "market": "Stock"}]


def run(**kwargs):
    kwargs.setdefault("progress", False)
    kwargs.setdefault("write_reports", False)
    kwargs.setdefault("strict", False)
    return backtest.run_backtest(kwargs.pop("strategy", Quiet()), kwargs.pop("codes", STOCK),
                                 kwargs.pop("start", DAY), kwargs.pop("end", DAY), **kwargs)


def corrupt(kind: str, path, other) -> None:
    """Writes a broken form of a sound day file at `path` (`other`: a sound other day)."""
    text = path.read_text()
    lines = text.splitlines(keepends=True)
    first, _end = session_bounds(DAY, "Stock")
    row = lines[1].split(",")

    def with_row(**values):
        fields = dict(zip(HEADER.split(","), row))
        fields.update({k: str(v) for k, v in values.items()})
        changed = ",".join(fields.values()).rstrip("\n") + "\n"
        path.write_text(lines[0] + changed + "".join(lines[2:]))

    if kind == "cut inside a line":
        path.write_text(text[: len(text) // 2])
    elif kind == "cut at a line boundary":
        path.write_text("".join(lines[: len(lines) // 2]).rstrip("\n"))
    elif kind == "header only":
        path.write_text(lines[0])
    elif kind == "symlink to another day":
        path.unlink()
        path.symlink_to(other)
    elif kind == "ticks of 1970":
        with_row(ts=0)
    elif kind == "ticks of 2100":
        with_row(ts=first + 76 * 365 * 86400 * 10**9)
    elif kind in ("NaN", "inf", "-3.0"):
        with_row(close=kind)
    elif kind == "negative volume":
        with_row(volume=-1)
    elif kind == "wrong header":
        path.write_text(lines[0].replace("close", "price") + "".join(lines[1:]))


CORRUPTIONS = ["cut inside a line", "cut at a line boundary", "header only",
               "symlink to another day", "ticks of 1970", "ticks of 2100", "NaN", "inf",
               "-3.0", "negative volume", "wrong header"]


@pytest.mark.parametrize("kind", CORRUPTIONS)
def test_every_kind_of_corrupt_file_is_caught(tmp_path, kind):
    path, other = tmp_path / "day.csv", tmp_path / "other.csv"
    synthetic_day(day=DAY).write_csv(path)
    synthetic_day(day=NEXT_DAY).write_csv(other)
    assert read_and_check(str(path), DAY, "Stock")[1] is None
    corrupt(kind, path, other)
    frame, fault = read_and_check(str(path), DAY, "Stock")
    assert frame is None and fault.path == str(path) and fault.rule
    if kind not in ("header only", "wrong header", "cut at a line boundary",
                    "cut inside a line"):
        assert fault.row is not None


@pytest.mark.timeout(120)
def test_a_corrupt_cache_file_is_set_aside_and_downloaded_again(data_dir, printed):
    cache = data_dir / "synthetic" / "ticks"
    whole = run(synthetic=True)
    assert whole.complete and not whole.problems
    path = cache / f"2330 {DAY} - ticks.csv"
    corrupt("ticks of 1970", path, None)
    broken = run(synthetic=True)
    (problem,) = broken.problems
    assert (problem.code, problem.day, problem.kind) == ("2330", DAY, kinds.INVALID)
    assert "row 1" in problem.reason and broken.ticks == 0 and not broken.complete
    assert not path.exists() and (cache / f"2330 {DAY} - ticks.csv.invalid").exists()
    again = run(synthetic=True)
    assert again.complete and again.ticks == whole.ticks
    assert not (data_dir / "sino").exists(), "synthetic days must never pass for real ones"


@pytest.mark.parametrize("broker,kind", [
    (FakeBroker(contracts_error=type("AuthError", (Exception,), {})("token expired")),
     kinds.NOT_LOGGED_IN),
    (FakeBroker(contracts_error=type("TokenError", (Exception,), {})("no token")),
     kinds.NOT_LOGGED_IN),
    (FakeBroker(contracts_error=AttributeError("Contracts")), kinds.NOT_LOGGED_IN),
    (FakeBroker(contract=None), kinds.UNKNOWN_CODE),
    (FakeBroker(), kinds.DOWNLOAD),
], ids=["auth error", "token error", "no contracts", "contract None", "broker down"])
def test_broker_faults_are_problems_not_silent_empty_days(data_dir, printed, broker, kind):
    with pytest.raises(backtest.BacktestIncomplete) as info:
        run(api=broker, end=NEXT_DAY, strict=True)
    result = info.value.result
    assert [(p.day, p.kind) for p in result.problems] == [(DAY, kind), (NEXT_DAY, kind)]
    assert result.ticks == 0
    # Not logged in: no broker call at all; a failing download is tried 3 times a day.
    assert broker.calls == ([DAY] * 3 + [NEXT_DAY] * 3 if kind == kinds.DOWNLOAD else [])


@pytest.fixture
def faulty_folder(tmpfs):
    def make(path, options):
        if not tmpfs(path, options):
            if "ro" not in options.split(","):
                pytest.skip("cannot mount a small tmpfs here")
            path.chmod(0o555)  # not root: a read-only folder instead
        return path
    return make


@pytest.mark.timeout(120)
@pytest.mark.parametrize("options", ["size=64k", "ro,size=1m"], ids=["disk full", "read-only"])
def test_a_failed_cache_write_keeps_the_day(data_dir, printed, faulty_folder, options):
    folder = tick_folder(data_dir.parent / "ticks")
    faulty_folder(data_dir / "sino" / "ticks", options)
    result = run(ticks_dir=str(folder), end=NEXT_DAY)
    expected = sum(pl.read_csv(p).height for p in folder.iterdir())
    assert result.complete and result.ticks == expected
    assert len(result.warnings) == 2 and "replayed from memory" in result.warnings[0]
    assert not [p for p in os.listdir(data_dir / "sino" / "ticks") if p.endswith(".tmp")]


@pytest.mark.timeout(120)
def test_a_full_disk_never_leaves_a_cut_report(data_dir, printed, faulty_folder):
    faulty_folder(data_dir / "runs", "size=200k")
    codes = backtest.parse_codes("2330:Stock,0050:Stock")
    from quarvel.examples.ma_cross import MovingAverageCross

    result = run(strategy=MovingAverageCross(), codes=codes, write_reports=True,
                 synthetic=True, initial_capital=5_000_000)
    assert any(p.kind == kinds.OUTPUT for p in result.problems) and not result.complete
    for name in os.listdir(result.output_dir):
        assert not name.startswith(".staging")
        if name.endswith(".html"):
            assert (data_dir / "runs" / result.output_dir / name).read_text().rstrip() \
                .endswith("</html>")


def test_stale_temporary_files_are_swept(data_dir, printed):
    cache = data_dir / "synthetic" / "ticks"
    cache.mkdir(parents=True)
    old, fresh = cache / "2330 x - ticks.csv.1.2.tmp", cache / "2330 y - ticks.csv.1.3.tmp"
    hidden = cache / ".2330 z - ticks.csv.abc.tmp"  # the cache writer's own temporaries
    for path in (old, fresh, hidden):
        path.write_text("partial")
    for path in (old, hidden):
        os.utime(path, (time.time() - 7200,) * 2)
    result = run(synthetic=True)
    assert not old.exists() and not hidden.exists() and fresh.exists()
    assert any(str(old) in text for text in result.warnings)


@pytest.mark.parametrize("kwargs,message", [
    ({"start": "2024-01-05", "end": "2024-01-02"}, "after the end"),
    ({"start": "2024-13-01"}, "bad start date"),
    ({"initial_capital": -5}, "capital"),
    ({"codes": [{"code": "2330", "market": "Option"}]}, "market"),
    ({"ticks_dir": "/no/such/folder"}, "/no/such/folder"),
    ({"backfill_start": DAY}, "backfilling"),
    ({"api": FakeBroker(), "synthetic": True}, "not several"),
])
def test_input_mistakes_are_refused_before_anything_runs(data_dir, kwargs, message):
    with pytest.raises(backtest.RunInputError, match=message):
        run(**kwargs)


def test_weekend_and_folder_gaps_are_incomplete(data_dir, printed, tmp_path):
    weekend = run(start="2024-01-06", end="2024-01-07")
    assert weekend.ticks == 0 and [p.kind for p in weekend.problems] == [kinds.NO_TRADING_DAY]
    folder = tick_folder(tmp_path / "ticks", days=(DAY,))
    gap = run(ticks_dir=str(folder), end=NEXT_DAY)
    assert [(p.day, p.kind) for p in gap.problems] == [(NEXT_DAY, kinds.MISSING)]
    assert not (data_dir / "sino" / "ticks" / f"2330 {NEXT_DAY} - ticks.csv").exists()
    cache_only = run(synthetic=False, end=NEXT_DAY)  # the cache holds DAY from the last run
    assert [(p.day, p.kind) for p in cache_only.problems] == [(NEXT_DAY, kinds.MISSING)]
    assert cache_only.ticks == gap.ticks > 0


def test_prepare_code_days_fills_the_cache_once(data_dir, printed, tmp_path):
    folder = tick_folder(tmp_path / "ticks", days=(DAY,))
    paths, problems = backtest.prepare_code_days(STOCK, DAY, "2024-01-07",
                                                 ticks_dir=str(folder))
    assert paths == [str(data_dir / "sino" / "ticks" / f"2330 {DAY} - ticks.csv")]
    assert [(p.day, p.kind) for p in problems] == [
        (d, kinds.MISSING) for d in ("2024-01-03", "2024-01-04", "2024-01-05")]


class Interrupting:
    def on_tick(self, context, tick):
        if context.ticks == 50:
            raise KeyboardInterrupt


@pytest.mark.timeout(60)
def test_ctrl_c_leaves_no_playback_thread(data_dir, printed):
    before = threading.active_count()
    for _ in range(3):
        with pytest.raises(KeyboardInterrupt):
            run(strategy=Interrupting(), synthetic=True)
    deadline = time.time() + 5
    while threading.active_count() > before + 1 and time.time() < deadline:
        time.sleep(0.05)  # the receiver threads of the runs' matchers may remain
    names = [t.name for t in threading.enumerate()]
    assert threading.active_count() <= before + 3, names
    assert not [t for t in threading.enumerate() if "push_tick" in str(getattr(t, "_target", ""))]
