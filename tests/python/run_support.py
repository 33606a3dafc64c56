"""Small pieces shared by the run tests: a quick strategy, tick folders, fake brokers."""

import os
import subprocess
import sys

import polars as pl

from quarvel.data.offline_api import OfflineAPI

SRC = os.path.join(os.path.dirname(__file__), "..", "..", "src")
DAY, NEXT_DAY = "2024-01-02", "2024-01-03"


class Quiet:
    def on_tick(self, context, tick):
        pass


def synthetic_day(code: str = "2330", day: str = DAY) -> pl.DataFrame:
    api = OfflineAPI(seed=7)
    table = api.Contracts.Stocks if code in api.stocks else api.Contracts.Futures
    return pl.DataFrame(api.ticks(contract=table[code], date=day))


def tick_folder(path, days=(DAY, NEXT_DAY), code="2330"):
    """A folder of cache-format files, as a user or the importer fills it."""
    path.mkdir(parents=True, exist_ok=True)
    for day in days:
        synthetic_day(code, day).write_csv(path / f"{code} {day} - ticks.csv")
    return path


def cli(*args, cwd, env=None, timeout=300):
    """python -m quarvel.backtest in a subprocess: (exit code, stdout + stderr)."""
    full_env = {**os.environ, "PYTHONPATH": os.path.abspath(SRC), "PYTHONUTF8": "1",
                "COLUMNS": "200", **(env or {})}
    done = subprocess.run([sys.executable, "-m", "quarvel.backtest", "--no-progress", *args],
                          cwd=cwd, env=full_env, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr


class Contracts:
    def __init__(self, lookup):
        self.Stocks = self.Futures = lookup


class FakeBroker:
    """Truthy like a real session object; `contracts` decides what a lookup does."""

    def __init__(self, contracts_error=None, contract=object()):
        self.contracts_error, self.contract, self.calls = contracts_error, contract, []

    @property
    def Contracts(self):
        if self.contracts_error is not None:
            raise self.contracts_error
        contract = self.contract

        class Lookup:
            def __getitem__(self, code):
                return contract
        return Contracts(Lookup())

    def ticks(self, contract, date):
        self.calls.append(date)
        if contract is None:
            raise AssertionError("ticks asked for no contract")
        raise ConnectionError("broker down")
