"""Code lists and strategy classes named on the command line."""

from __future__ import annotations

import importlib
import importlib.util
import os


class StrategyNotFound(ValueError):
    """The strategy file, module or class named does not exist."""


def parse_codes(text: str) -> list[dict[str, str]]:
    """"2330:Stock,TXFR1:Future" -> [{"code": "2330", "market": "Stock"}, ...].

    The market is required: a futures code read as a stock (or the reverse) would find no
    contract, so it is never guessed.
    """
    codes = []
    for part in filter(None, (p.strip() for p in text.split(","))):
        code, sep, market = (s.strip() for s in part.partition(":"))
        if code and not sep:
            raise ValueError(f"{code!r} has no market: write {code}:Stock or {code}:Future")
        if not code or market not in ("Stock", "Future"):
            raise ValueError(f"bad code entry {part!r}: use CODE:Stock or CODE:Future")
        codes.append({"code": code, "market": market})
    if not codes:
        raise ValueError("no codes given")
    return codes


def module_from_file(name: str, path: str):
    """The module in the Python file `path`, run under `name` (not put in sys.modules)."""
    module_spec = importlib.util.spec_from_file_location(name, path)
    if module_spec is None or module_spec.loader is None:
        raise StrategyNotFound(f"cannot load strategy file {path!r}")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def load_strategy(target_text: str):
    """Instantiate "path/to/file.py:ClassName" or "package.module:ClassName".

    A file, module or class that does not exist raises StrategyNotFound; errors raised by
    the strategy's own code while it loads propagate unchanged.
    """
    target, sep, class_name = target_text.rpartition(":")
    if not sep or not target or not class_name:
        raise StrategyNotFound(f"--strategy expects FILE:CLASS, got {target_text!r}")
    if target.endswith(".py") or os.path.sep in target:
        if not os.path.isfile(target):
            raise StrategyNotFound(f"strategy file {target!r} not found")
        module = module_from_file("_user_strategy", target)
    else:
        try:
            module = importlib.import_module(target)
        except ModuleNotFoundError as error:
            if error.name and target.startswith(error.name):
                raise StrategyNotFound(f"strategy module {target!r} not found") from None
            raise
    strategy_class = getattr(module, class_name, None)
    if strategy_class is None:
        raise StrategyNotFound(f"no class {class_name!r} in {target!r}")
    return strategy_class()
