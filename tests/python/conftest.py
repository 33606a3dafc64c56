"""Shared fixtures: console capture and an isolated data directory."""

import importlib

import pytest

from quarvel.constant import BASIC_INFO

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
