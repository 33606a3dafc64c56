"""Trade-record CSV, profit rows per code, save paths and the file-name guard."""

import os
import re

import polars as pl
import pytest

from quarvel.modules.positions.positions import Positions

RECORD_KEYS = ["trade_id", "code", "action", "quantity", "price", "dt", "trade_status"]


def trade_record(trade_id, code="2330", price=600.0, quantity=1, status="Deal"):
    return dict(zip(RECORD_KEYS, [trade_id, code, "Buy", quantity, price,
                                  "2024-01-02 09:01:37.500000", status]))


def profit_row(code, profit=100.0, entry_dt=1704157297.0, exit_dt=1704160000.0):
    return {"code": code, "entry_dt": entry_dt, "exit_dt": exit_dt, "profit": profit}


def exported_files(data_dir):
    folder = data_dir / "trade_records"
    return sorted(folder.iterdir()) if folder.exists() else []


def test_export_writes_the_journal_as_csv(data_dir, printed):
    account = Positions()
    # a float price late in the journal must not break type inference
    account.trade_records.extend(trade_record(f"id{i}", price=600) for i in range(150))
    account.trade_records.append(trade_record("last", price=600.5, status="Cancel"))
    account.export_trade_records()
    (path,) = exported_files(data_dir)
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d{6}_trade_records\.csv", path.name)
    text = path.read_bytes().decode("utf-8")
    lines = text.splitlines()
    assert lines[0] == ",".join(RECORD_KEYS)
    assert lines[1] == "id0,2330,Buy,1,600.0,2024-01-02 09:01:37.500000,Deal"
    assert lines[-1] == "last,2330,Buy,1,600.5,2024-01-02 09:01:37.500000,Cancel"
    assert len(lines) == 152
    assert printed.lines == [f"[bold green]交易紀錄已匯出至: {path}[/bold green]"]
    assert [p for p in path.parent.iterdir() if ".tmp" in p.name] == []


def test_float_prices_are_written_as_floats(data_dir):
    account = Positions()
    account.trade_records.append(trade_record("a", price=600.0))
    account.export_trade_records()
    (path,) = exported_files(data_dir)
    assert path.read_text().splitlines()[1].split(",")[4] == "600.0"


def test_export_of_an_empty_journal(data_dir, printed):
    """polars writes a frame without columns as one empty line; pinned so a change shows."""
    Positions().export_trade_records()
    (path,) = exported_files(data_dir)
    assert path.read_bytes() == pl.DataFrame([]).write_csv().encode() == b"\n"
    assert len(printed.lines) == 1


@pytest.fixture
def frozen_now(monkeypatch):
    """The module's clock stopped at 2024-01-02 09:01:37."""
    import datetime as real_datetime

    from quarvel.modules.positions import positions as module

    class FrozenDatetime(real_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2024, 1, 2, 9, 1, 37)

    class ClockModule:
        datetime = FrozenDatetime

    monkeypatch.setattr(module, "datetime", ClockModule)
    return "2024-01-02 090137_trade_records.csv"


def test_same_second_exports_replace_the_file(data_dir, frozen_now):
    account = Positions()
    account.trade_records.append(trade_record("first"))
    account.export_trade_records()
    account.trade_records.append(trade_record("second"))
    account.export_trade_records()
    (path,) = exported_files(data_dir)
    assert path.name == frozen_now
    assert path.read_text().count("\n") == 3


def test_failed_write_raises_and_leaves_no_temporary_file(data_dir, frozen_now, printed):
    account = Positions()
    account.trade_records.append(trade_record("a"))
    blocker = data_dir / "trade_records" / frozen_now
    blocker.mkdir(parents=True)  # the rename onto a folder fails
    with pytest.raises(IsADirectoryError):
        account.export_trade_records()
    assert [p.name for p in blocker.parent.iterdir()] == [frozen_now]
    assert printed.lines == []


def test_failed_atomic_write_keeps_the_old_report(data_dir, monkeypatch):
    """The report file is replaced by a rename, so a failing write never truncates it."""
    account = Positions()
    target = account._Positions__generate_save_path("2330-report.html", "report")
    with open(target, "w") as old:
        old.write("old report")
    from quarvel.modules.positions import positions as module

    class BrokenTemplate:
        def render(self, context):
            return "\ud800"  # a lone surrogate cannot be encoded as UTF-8

    monkeypatch.setattr(module, "template", BrokenTemplate())
    with pytest.raises(UnicodeEncodeError):
        account.generate_standard_report("2330", _NoQuotes())
    assert open(target).read() == "old report"


class _NoQuotes:
    def get_kbar(self, code, unit, freq):
        raise KeyError(code)


@pytest.mark.parametrize(
    "args, parts",
    [
        ((), []),
        ((None,), []),
        ((None, "trade_records"), ["trade_records"]),
        (("a.csv", "sino", "profit_report"), ["sino", "profit_report", "a.csv"]),
    ],
)
def test_generate_save_path(data_dir, args, parts):
    path = Positions()._Positions__generate_save_path(*args)
    assert path == os.path.join(str(data_dir), *parts)
    folder = path if args == () or args[0] is None else os.path.dirname(path)
    assert os.path.isdir(folder)
    assert not os.path.exists(path) or os.path.isdir(path)


@pytest.mark.parametrize("args", [(b"a",), (None, 1), ("a", "b", None)])
def test_generate_save_path_takes_str_only(data_dir, args):
    with pytest.raises(TypeError):
        Positions()._Positions__generate_save_path(*args)


def test_profit_rows_by_code_are_the_ledger_rows_in_order():
    account = Positions()
    rows = [profit_row("2330", 1.0), profit_row("2317"), profit_row("2330", 2.0)]
    account._profit_report["rows"].extend(rows)
    got = account.get_profit_rows_by_code("2330")
    assert got == [rows[0], rows[2]] and got[0] is rows[0]
    got.clear()
    assert len(account._profit_report["rows"]) == 3
    assert account.get_profit_rows_by_code("1101") == []
    with pytest.raises(TypeError, match="code"):
        account.get_profit_rows_by_code(2330)


BAD_CODES = ["", "../2330", "a/b", "a\\b", "..", "23\x0030"]


@pytest.mark.parametrize("code", BAD_CODES)
@pytest.mark.parametrize("method", ["generate_standard_report", "generate_qs_profit_report"])
def test_unsafe_codes_are_refused_before_any_file(data_dir, code, method):
    account = Positions()
    account._profit_report["rows"].append(profit_row(code))
    with pytest.raises(ValueError) as raised:
        getattr(account, method)(code, _NoQuotes())
    assert str(raised.value) == "不合法的商品代碼: " + repr(code)
    assert not data_dir.exists()
