"""Parameter sweeps on real Dask clusters: local, and a scheduler + worker started by hand."""

import os
import socket
import subprocess
import sys

import polars as pl
import pytest

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402
# Cluster start-up and worker imports take a while on a busy two-core machine.
pytestmark = pytest.mark.timeout(300)

from quarvel.offline_api import OfflineAPI  # noqa: E402
from quarvel.rules import TaiwanRules  # noqa: E402
from quarvel.sweep import run_sweep, sweep  # noqa: E402
from quarvel.sweep.data_shipping import digest, install_files, worker_data_dir  # noqa: E402
from matcher_support import package_root  # noqa: E402

CODES = "2330:Stock"  # one code keeps each run to about 5,000 ticks
CAPITAL = 5_000_000
GRID = {"fast": [5, 10], "slow": [8, 20]}  # fast=10, slow=8 is refused by the strategy
WINDOWS = ["2024-01-02:2024-01-02:in", "2024-01-03:2024-01-03:out"]
# Columns that differ between two runs of one sweep: timings and run-folder ids.
RUN_SPECIFIC = ["seconds", "run"]

STRATEGY = '''
import os

from quarvel.examples.ma_cross import MovingAverageCross


class Cross(MovingAverageCross):
    def __init__(self, fast=10, slow=30, die=0):
        if die:
            os._exit(3)  # as a crash in native code would end the worker process
        if fast >= slow:
            raise ValueError(f"fast {fast} must be below slow {slow}")
        self.fast, self.slow = fast, slow
'''


@pytest.fixture(scope="module")
def strategy_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("strategy") / "sweep_cross_strategy.py"
    path.write_text(STRATEGY)
    return f"{path}:Cross"


@pytest.fixture(scope="module")
def two_workers():
    # A task whose worker dies is not retried on the other workers (each retry kills one).
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address="127.0.0.1:0", worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def two_worker_sweep(two_workers, strategy_file, tmp_path_factory):
    driver_dir = tmp_path_factory.mktemp("driver")
    api = OfflineAPI()
    outcome = sweep(strategy_file, CODES, GRID, WINDOWS, client=two_workers, api=api,
                    data_dir=str(driver_dir), initial_capital=CAPITAL)
    return outcome, api, driver_dir


def comparable(table: pl.DataFrame) -> pl.DataFrame:
    return table.drop(RUN_SPECIFIC)


def test_grid_over_windows_on_two_workers(two_worker_sweep, two_workers):
    (table, folder), api, driver_dir = two_worker_sweep
    assert table.height == 8
    failed = table.filter(pl.col("error").is_not_null())
    # The refused parameter set is two rows (one per window) at the bottom, not a failed sweep.
    assert failed.height == 2 and set(failed["fast"]) == {10} and set(failed["slow"]) == {8}
    assert all("fast 10 must be below slow 8" in e for e in failed["error"])
    assert table.tail(2)["error"].null_count() == 0
    # The strategy's own traceback, with its file and line, is kept beside the table.
    assert 'sweep_cross_strategy.py", line' in open(os.path.join(folder, "errors.txt")).read()
    ok = table.filter(pl.col("error").is_null())
    assert (ok["ticks"] > 0).all() and ok["net_profit"].null_count() == 0
    # Ranked by the in-sample mean, each row carrying its set's out-of-sample mean.
    ranked = ok["net_profit_in"].to_list()
    assert ranked == sorted(ranked, reverse=True)
    for row in ok.iter_rows(named=True):
        same = ok.filter((pl.col("fast") == row["fast"]) & (pl.col("slow") == row["slow"]))
        by_sample = dict(zip(same["sample"], same["net_profit"]))
        assert (row["net_profit_in"], row["net_profit_out"]) == (by_sample["in"],
                                                                  by_sample["out"])

    # Each code-day was fetched once by the driver, whatever the number of tasks.
    assert sorted(api.calls) == [("2330", "2024-01-02"), ("2330", "2024-01-03")]
    # The workers replayed from their own folders, filled by shipping alone.
    for worker_dir in two_workers.run(worker_data_dir).values():
        assert not worker_dir.startswith(str(driver_dir))
        shipped = os.listdir(os.path.join(worker_dir, "sino", "ticks"))
        assert "2330 2024-01-02 - ticks.csv" in shipped

    saved = pl.read_csv(os.path.join(folder, "sweep.csv"))
    assert saved["task"].to_list() == table["task"].to_list()
    page = open(os.path.join(folder, "sweep.html"), encoding="utf-8").read()
    assert page.count("<svg") == 2 and page.endswith("</html>")
    assert "In-sample against out-of-sample" in page and 'class="sortable"' in page


def test_one_worker_gives_the_same_table(two_worker_sweep, strategy_file, tmp_path):
    (table, _), _, _ = two_worker_sweep
    one = run_sweep(strategy_file, CODES, GRID, WINDOWS, workers=1, data_dir=str(tmp_path),
                    initial_capital=CAPITAL)
    assert comparable(one).equals(comparable(table))


def test_a_dying_worker_is_a_failed_row(two_workers, strategy_file, tmp_path):
    table = run_sweep(strategy_file, CODES, {"fast": [5], "slow": [20], "die": [0, 1]},
                      ["2024-01-02:2024-01-02"], client=two_workers, data_dir=str(tmp_path),
                      initial_capital=CAPITAL)
    assert table["die"].to_list() == [0, 1]
    assert table["error"][0] is None and table["ticks"][0] > 0
    assert table["error"][1].startswith("KilledWorker")


class BrokerDownOn(OfflineAPI):
    def __init__(self, date):
        super().__init__()
        self.down = date

    def ticks(self, contract, date):
        if date == self.down:
            raise ConnectionError("broker unreachable")
        return super().ticks(contract, date)


def test_a_day_the_driver_cannot_get_fails_its_window_only(two_workers, strategy_file,
                                                           tmp_path):
    table = run_sweep(strategy_file, CODES, {"fast": [5], "slow": [20]},
                      ["2024-01-02:2024-01-02", "2024-01-03:2024-01-03"], client=two_workers,
                      api=BrokerDownOn("2024-01-03"), data_dir=str(tmp_path),
                      initial_capital=CAPITAL)
    good, bad = table.sort("window").iter_rows(named=True)
    assert good["error"] is None and good["ticks"] > 0
    assert bad["ticks"] is None and "broker unreachable" in bad["error"]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_workers(address: str, count: int, timeout: float = 60) -> None:
    with distributed.Client(address, timeout="30s") as client:
        client.wait_for_workers(count, timeout=timeout)


@pytest.fixture
def scheduler_and_worker(tmp_path):
    """`dask scheduler` and `dask worker` as separate processes on 127.0.0.1."""
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = dict(os.environ, PYTHONPATH=package_root())
    processes = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", str(port), "--no-dashboard"], env=env,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        processes.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--host",
             "127.0.0.1", "--nthreads", "1", "--no-dashboard", "--local-directory",
             str(tmp_path / "worker")], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for_workers(address, 1)
        yield address
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def run_cli(*args, cwd):
    env = dict(os.environ, PYTHONPATH=package_root(), PYTHONUTF8="1", COLUMNS="160")
    return subprocess.run([sys.executable, "-m", "quarvel.sweep", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=180)


def test_cli_on_a_separate_scheduler_and_worker(scheduler_and_worker, two_worker_sweep,
                                                strategy_file, tmp_path):
    (table, _), _, _ = two_worker_sweep
    grid = [f"--grid={name}={','.join(map(str, values))}" for name, values in GRID.items()]
    windows = [f"--window={window}" for window in WINDOWS]
    done = run_cli("--strategy", strategy_file, "--codes", CODES, *grid, *windows,
                   "--capital", str(CAPITAL), "--scheduler", scheduler_and_worker,
                   "--data-dir", str(tmp_path / "driver"), "--no-progress",
                   cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "8 runs, 2 failed" in done.stdout and "Best 3 by net_profit" in done.stdout
    (folder,) = (tmp_path / "driver" / "sweeps").iterdir()
    saved = pl.read_csv(folder / "sweep.csv", schema=table.schema)
    assert comparable(saved).equals(comparable(table))
    assert not (folder / "runs").exists()


def test_reports_come_back_from_the_workers(two_workers, two_worker_sweep, strategy_file,
                                           tmp_path):
    """Under Taiwan rules with a broker discount, which travel to the workers with the task."""
    table, folder = sweep(strategy_file, "2330:Stock", {"fast": [5], "slow": [20]},
                          ["2024-01-02:2024-01-02"], client=two_workers, reports=True,
                          data_dir=str(tmp_path), initial_capital=CAPITAL,
                          rules=TaiwanRules(broker_discount=0.28))
    (run,) = table["run"]
    came_back = {os.path.join(root, name): os.path.getsize(os.path.join(root, name))
                 for root, _, names in os.walk(os.path.join(folder, "runs", run))
                 for name in names}
    (report,) = [path for path in came_back if path.endswith("2330-report.html")]
    assert came_back[report] > 0
    assert any(path.endswith("_trade_records.csv") for path in came_back)
    page = open(report, encoding="utf-8").read()
    assert 'id="rules-table"' in page and "<td>0.28</td>" in page
    # The same run under the default rules (in the shared sweep) paid other costs.
    (default_table, _), _, _ = two_worker_sweep
    same = default_table.filter((pl.col("fast") == 5) & (pl.col("slow") == 20)
                             & (pl.col("start") == "2024-01-02"))
    assert same["net_profit"].item() != table["net_profit"].item()


@pytest.mark.parametrize("args, message", [
    (["--window", "2024-01-03:2024-01-02"], "starts after it ends"),
    (["--window", "2024-01-02:2024-01-03:maybe"], "'in' or 'out'"),
    (["--window", "2024-01-02:2024-01-03", "--grid", "fast"], "NAME=V1,V2"),
    (["--window", "2024-01-02:2024-01-03", "--metric", "luck"], "invalid choice"),
    (["--window", "2024-01-02:2024-01-03", "--grid", "fsat=5"], "does not take"),
    (["--window", "2024-01-02:2024-01-03", "--rules", "nyse"], "invalid choice"),
])
def test_cli_refuses_bad_input(args, message, strategy_file, tmp_path):
    done = run_cli("--strategy", strategy_file, "--codes", CODES, "--no-progress", *args,
                   cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr + done.stdout
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize("name", ["../escape.csv", "/etc/passwd", "sub/dir.csv", ".."])
def test_shipped_file_names_stay_in_the_cache(name, tmp_path):
    with pytest.raises(ValueError, match="refusing"):
        install_files({name: (digest(b"x"), b"x")}, str(tmp_path))
    assert os.listdir(tmp_path / "sino" / "ticks") == []


def test_damaged_or_stale_files_are_not_trusted(tmp_path):
    good = b"ts,close\n1,2\n"
    with pytest.raises(ValueError, match="damaged"):
        install_files({"A 2024-01-02 - ticks.csv": (digest(good), b"ts,close\n")}, str(tmp_path))
    stale = tmp_path / "sino" / "ticks" / "A 2024-01-02 - ticks.csv"
    stale.write_bytes(b"old")
    assert install_files({stale.name: (digest(good), good)}, str(tmp_path)) == 1
    assert stale.read_bytes() == good
