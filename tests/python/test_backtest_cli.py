"""The command line as a user meets it: exit codes, red lines, files left behind."""

import os
import subprocess
import sys
import textwrap

import pytest

from builders import without_order_ids
from run_support import DAY, NEXT_DAY, SRC, cli, tick_folder

QUIET = ("--quiet", "--strategy", "quarvel.examples.ma_cross:MovingAverageCross")


@pytest.fixture
def strategy_file(tmp_path):
    path = tmp_path / "my_strategy.py"
    path.write_text(textwrap.dedent("""\
        import signal


        class Fails:
            def on_tick(self, context, tick):
                if context.ticks == 30:
                    return 1 / 0


        class Interrupted:
            def on_tick(self, context, tick):
                if context.ticks == 30:
                    signal.raise_signal(signal.SIGINT)
        """))
    return path


@pytest.mark.parametrize("args,message", [
    (["--demo", "--ticks-dir", "no/such/folder"], "no/such/folder does not exist"),
    (["--demo", "--start", "2024-02-30"], "bad start date"),
    (["--demo", "--start", "2024-01-05", "--end", "2024-01-02"], "is after the end"),
    (["--demo", "--capital", "-5"], "must be a number > 0"),
    (["--demo", "--codes", "TXFR1"], "TXFR1:Future"),
    (["--demo", "--codes", "2330:Option"], "CODE:Stock or CODE:Future"),
    (["--demo", "--strategy", "missing.py:X"], "missing.py' not found"),
    (["--demo", "--strategy", "quarvel.examples.ma_cross:Nope"], "no class 'Nope'"),
    (["--demo", "--synthetic", "--ticks-dir", "."], "exclude each other"),
])
def test_input_mistakes_exit_2_with_one_red_line(tmp_path, args, message):
    code, out = cli(*args, cwd=tmp_path)
    assert code == 2 and message in out and "Traceback" not in out, out
    assert not (tmp_path / "data").exists()
    code, out = cli(*args, "--debug", cwd=tmp_path)
    assert code == 2 and "Traceback" in out


@pytest.mark.timeout(300)
def test_complete_incomplete_and_concurrent_runs(tmp_path):
    folder = tick_folder(tmp_path / "my ticks")
    args = (*QUIET, "--codes", "2330:Stock", "--start", DAY, "--end", NEXT_DAY)
    runs = [subprocess.Popen(
        [sys.executable, "-m", "quarvel.backtest", "--no-progress", *args, "--ticks-dir",
         str(folder)], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        env={**os.environ, "PYTHONPATH": os.path.abspath(SRC), "COLUMNS": "200"}, text=True)
        for _ in range(2)]
    outputs = [run.communicate(timeout=240)[0] for run in runs]
    assert [run.returncode for run in runs] == [0, 0], outputs
    folders = sorted(os.listdir(tmp_path / "data" / "runs"))
    assert len(folders) == 2 and all(f.split("-")[2] == "MovingAverageCross" for f in folders)
    records = [[n for n in os.listdir(tmp_path / "data" / "runs" / f) if "trade_records" in n]
               for f in folders]
    assert [len(r) for r in records] == [1, 1]
    assert sorted(os.listdir(tmp_path / "data" / "sino" / "ticks")) == sorted(
        os.listdir(folder))

    # Without a folder only the cache is read: a day it lacks is a problem, exit 1.
    code, out = cli(*args[:-1], "2024-01-04", cwd=tmp_path)
    assert code == 1, out
    assert "problem: 2330 2024-01-04: missing:" in out and "1 problem(s)" in out


@pytest.mark.timeout(120)
def test_strategy_error_shows_the_strategy_line_and_ctrl_c_exits_130(tmp_path, strategy_file):
    base = ("--demo", "--quiet", "--codes", "2330:Stock", "--end", DAY)
    code, out = cli(*base, "--strategy", f"{strategy_file}:Fails", cwd=tmp_path)
    assert code == 1 and "ZeroDivisionError" in out, out
    assert f'File "{strategy_file}", line 7' in out and "return 1 / 0" in out
    assert "loop.py" not in out
    code, out = cli(*base, "--strategy", f"{strategy_file}:Interrupted", cwd=tmp_path)
    assert code == 130 and out.strip().splitlines()[-1].startswith("interrupted"), out


@pytest.mark.timeout(600)
def test_python_and_cli_give_the_same_trades_on_a_utc_host(tmp_path):
    script = textwrap.dedent("""\
        import os, time
        from quarvel import backtest
        from quarvel.examples.ma_cross import MovingAverageCross
        result = backtest.run_backtest(
            MovingAverageCross(), backtest.parse_codes(backtest.DEMO_CODES), backtest.DEMO_START,
            backtest.DEMO_END, initial_capital=backtest.DEMO_CAPITAL, progress=False)
        assert os.environ["TZ"] == "UTC" and time.timezone == 0, "zone not restored"
        print("RESULT", result.orders, result.deals, repr(result.realised_profit))
        print("RECORDS", result.trade_records_path)
        """)
    env = {**os.environ, "PYTHONPATH": os.path.abspath(SRC), "TZ": "UTC", "COLUMNS": "200"}
    python = subprocess.run([sys.executable, "-c", script], cwd=tmp_path / "..", env=env,
                            capture_output=True, text=True, timeout=300)
    assert python.returncode == 0, python.stdout + python.stderr
    lines = dict(line.split(" ", 1) for line in python.stdout.splitlines()
                 if line.startswith(("RESULT", "RECORDS")))
    code, out = cli("--demo", "--quiet", cwd=tmp_path, env={"TZ": "UTC"})
    assert code == 0, out
    (folder,) = os.listdir(tmp_path / "data" / "runs")
    (records,) = [n for n in os.listdir(tmp_path / "data" / "runs" / folder)
                  if n.endswith("_trade_records.csv")]
    with open(lines["RECORDS"], "rb") as left, \
            open(tmp_path / "data" / "runs" / folder / records, "rb") as right:
        assert without_order_ids(left.read()) == without_order_ids(right.read())
    orders = lines["RESULT"].split()[0]
    assert f"│ orders / deals          │ {orders} / " in out
