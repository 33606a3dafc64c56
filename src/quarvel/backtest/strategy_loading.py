"""Code lists and strategy classes named on the command line."""

from __future__ import annotations

import importlib
import importlib.util
import os


def parse_codes(text: str) -> list[dict[str, str]]:
    """"2330:Stock,TXFR1:Future" -> [{"code": "2330", "market": "Stock"}, ...]."""
    codes = []
    for part in filter(None, (p.strip() for p in text.split(","))):
        code, sep, market = part.partition(":")
        market = market or "Stock"
        if not code or market not in ("Stock", "Future"):
            raise ValueError(f"bad code entry {part!r}: use CODE:Stock or CODE:Future")
        codes.append({"code": code, "market": market})
    if not codes:
        raise ValueError("no codes given")
    return codes


def load_strategy(target_text: str):
    """Instantiate "path/to/file.py:ClassName" or "package.module:ClassName"."""
    target, sep, class_name = target_text.rpartition(":")
    if not sep or not target or not class_name:
        raise ValueError(f"--strategy expects FILE:CLASS, got {target_text!r}")
    if target.endswith(".py") or os.path.sep in target:
        module_spec = importlib.util.spec_from_file_location("_user_strategy", target)
        if module_spec is None or module_spec.loader is None:
            raise ValueError(f"cannot load strategy file {target!r}")
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
    else:
        module = importlib.import_module(target)
    return getattr(module, class_name)()
