"""Shared fixtures (console capture, an isolated data directory) and the deep tier.

tests/python holds the tests of each rule's effects; tests/deep the long runs (fuzz,
stress, browser, determinism), marked `deep` so `-m "not deep"` leaves them out.
"""

import importlib
import subprocess
import sys
from pathlib import Path

import pytest

from quarvel.constant import BASIC_INFO

HERE = Path(__file__).resolve().parent
DEEP = HERE / "deep"
# The record builders and stand-ins in tests/python serve the deep tier too.
sys.path.insert(0, str(HERE / "python"))

NATIVE_MODULES = (
    "quarvel.modules.positions.positions",
    "quarvel.modules.matcher.matcher",
    "quarvel.modules.ticker.ticker",
)


class ConsoleRecorder:
    """Stands in for the console: keeps every printed line."""

    def __init__(self):
        self.lines = []

    def print(self, text="", *args, **kwargs):
        self.lines.append(text)

    def clear(self):
        self.lines.clear()


@pytest.fixture
def printed(monkeypatch):
    """Lines printed by the native modules during the test."""
    recorder = ConsoleRecorder()
    for name in NATIVE_MODULES:
        module = importlib.import_module(name)
        if hasattr(module, "console"):
            monkeypatch.setattr(module, "console", recorder)
    return recorder


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """BASIC_INFO.data_dir pointed at a fresh temporary folder."""
    path = tmp_path / "data"
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(path))
    return path


def pytest_collection_modifyitems(config, items):
    for item in items:
        if DEEP in Path(str(item.fspath)).parents:
            item.add_marker(pytest.mark.deep)


@pytest.fixture
def tmpfs():
    """mount(path, options) mounts a small tmpfs there (a real full or read-only disk) and
    says whether it could (root only); every mount is undone after the test."""
    mounted = []

    def mount(path, options):
        path.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                              capture_output=True)
        if done.returncode == 0:
            mounted.append(path)
        return done.returncode == 0
    yield mount
    for path in reversed(mounted):
        subprocess.run(["umount", str(path)], check=False)
