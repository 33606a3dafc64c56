"""A strategy class named so that a worker process can find it again."""

from __future__ import annotations

import importlib
import os
import sys
from dataclasses import dataclass

from quarvel.backtest.strategy_loading import module_from_file


@dataclass(frozen=True)
class StrategyRef:
    """Either a class (pickled with the task) or a module and class name to import.

    `path` is the strategy's own .py file, shipped to the workers with `upload_file`.
    """

    name: str
    module: str | None = None
    cls: type | None = None
    path: str | None = None

    def load(self) -> type:
        if self.cls is not None:
            return self.cls
        module = importlib.import_module(self.module)
        return getattr(module, self.name)


def _check_module_name(module_name: str, path: str) -> None:
    """Workers import the uploaded file by its stem: it must not shadow another module."""
    if not module_name.isidentifier():
        raise ValueError(f"strategy file name {os.path.basename(path)!r} is not a valid module "
                         "name; rename it (letters, digits, underscores)")
    loaded = sys.modules.get(module_name)
    origin = getattr(getattr(loaded, "__spec__", None), "origin", None)
    # A copy of a file of that name may be loaded already: an in-process scheduler imports
    # what upload_file sends, and a new upload replaces it. Another module may not be.
    if module_name in sys.stdlib_module_names or (
            loaded is not None and os.path.basename(origin or "") != os.path.basename(path)):
        raise ValueError(f"strategy file {os.path.basename(path)!r} has the name of the module "
                         f"{module_name!r}; rename the file")


def check_parameters(cls: type, param_sets: list[dict]) -> None:
    """A parameter name the constructor does not take is a usage mistake, found up front."""
    import inspect

    try:
        signature = inspect.signature(cls)
    except (TypeError, ValueError):  # a constructor Python cannot describe: let the runs tell
        return
    names = {name for params in param_sets for name in params}
    try:
        signature.bind_partial(**{name: None for name in names})
    except TypeError as error:
        raise ValueError(f"strategy {cls.__name__} does not take the grid's parameters: "
                         f"{error}") from None


def resolve_strategy(strategy) -> tuple[StrategyRef, type]:
    """A class, "path/to/file.py:Class" or "package.module:Class" -> (ref, the class here)."""
    if isinstance(strategy, type):
        return StrategyRef(name=strategy.__name__, cls=strategy), strategy
    if not isinstance(strategy, str):
        raise TypeError("strategy must be a class or 'FILE:CLASS'")
    target, sep, class_name = strategy.rpartition(":")
    if not sep or not target or not class_name:
        raise ValueError(f"strategy expects FILE:CLASS, got {strategy!r}")
    if target.endswith(".py") or os.path.sep in target:
        path = os.path.abspath(target)
        if not os.path.isfile(path):
            raise ValueError(f"strategy file {target!r} not found")
        module_name = os.path.splitext(os.path.basename(path))[0]
        _check_module_name(module_name, path)
        # Loaded here only to check it; the workers import it by its stem after upload_file.
        module = module_from_file(module_name, path)
        ref = StrategyRef(name=class_name, module=module_name, path=path)
    else:
        module = importlib.import_module(target)
        ref = StrategyRef(name=class_name, module=target)
    cls = getattr(module, class_name, None)
    if not isinstance(cls, type):
        raise ValueError(f"class {class_name!r} not found in {target!r}")
    return ref, cls
