"""What a run expects to replay, where its ticks come from, and its own output folder."""

from __future__ import annotations

import datetime as dt
import os
import re
import uuid

from rich.markup import escape

from quarvel.constant import BASIC_INFO
from quarvel.data import problems as kinds
from quarvel.data.calendar import last_covered_year, trading_days
from quarvel.data.checked_ticker import CheckedTicker
from quarvel.data.problems import Problem, ProblemLog
from quarvel.utils import console, format_to_dt


class RunInputError(ValueError):
    """A mistake in what the run was asked to do (codes, dates, capital, folders)."""


def cache_dir(synthetic: bool, data_dir: str | None = None) -> str:
    """The shared tick cache; synthetic days live apart so they never pass for real ones."""
    root = data_dir or BASIC_INFO.data_dir
    return os.path.join(root, "synthetic" if synthetic else "sino", "ticks")


def parse_day(text: str, what: str) -> dt.date:
    try:
        return format_to_dt(text).date()
    except (ValueError, TypeError):
        raise RunInputError(f"bad {what} date {text!r}: use YYYY-MM-DD") from None


def check_range(start: str, end: str, what: str = "") -> tuple[dt.date, dt.date]:
    first, last = parse_day(start, f"{what}start"), parse_day(end, f"{what}end")
    if first > last:
        raise RunInputError(f"the {what}start {start} is after the {what}end {end}")
    return first, last


def check_codes(codes) -> None:
    if not isinstance(codes, list) or not codes:
        raise RunInputError("no codes given")
    for entry in codes:
        if not isinstance(entry, dict) or entry.get("market") not in ("Stock", "Future") \
                or not entry.get("code"):
            raise RunInputError(f"bad code entry {entry!r}: needs a code and the market "
                                "\"Stock\" or \"Future\"")


def open_source(api, ticks_dir: str | None, synthetic: bool | None):
    """(broker object or None, cache folder, label) for the run's tick source.

    An explicit broker wins; then a tick folder (which must exist); the synthetic market
    only when asked for (or, with `synthetic` None, when neither a broker nor a folder is
    given); otherwise the tick cache alone.
    """
    from quarvel.data.offline_api import OfflineAPI

    if api is not None:
        if ticks_dir is not None or synthetic:
            raise RunInputError("give a broker, a tick folder or the synthetic market, not "
                                "several: each day must come from one known place")
        return api, cache_dir(False), "broker"
    if ticks_dir is not None:
        if synthetic:
            raise RunInputError("a tick folder and the synthetic market exclude each other")
        if not os.path.isdir(ticks_dir):
            raise RunInputError(f"tick folder {ticks_dir} does not exist")
        return OfflineAPI(tick_dir=ticks_dir), cache_dir(False), f"tick folder {ticks_dir}"
    if synthetic or synthetic is None:
        return OfflineAPI(), cache_dir(True), "synthetic market"
    return None, cache_dir(False), f"tick cache {cache_dir(False)}"


def expected_code_days(codes: list[dict[str, str]], start: str,
                       end: str) -> list[tuple[str, str, str]]:
    """(code, market, "YYYY-MM-DD") of every trading day of every code in the range."""
    first, last = check_range(start, end)
    days = trading_days(first, last)
    return [(e["code"], e["market"], day.isoformat()) for e in codes for day in days]


def account_for(log: ProblemLog, expected: list[tuple[str, str, str]], ticks: int) -> None:
    """Problems for what a finished replay left out that nothing has explained yet."""
    if not expected:
        log.problem("", "", kinds.NO_TRADING_DAY, "the range holds no trading day")
    for code, _market, day in expected:
        if (code, day) not in log.delivered and not log.has_problem(code, day):
            log.problem(code, day, kinds.NOT_REPLAYED, "expected but never loaded")
    loaded = log.rows
    if ticks != loaded:
        log.problem("", "", kinds.PLAYBACK, f"{loaded:,} ticks loaded but {ticks:,} replayed")
    covered = last_covered_year()
    if expected and covered is not None and max(d for _c, _m, d in expected)[:4] > str(covered):
        log.warn(f"the holiday calendar ends with {covered}: later closures are unknown and "
                 "their days count as trading days")


def make_run_dir(strategy_name: str, data_dir: str | None = None) -> str:
    """A new folder <data_dir>/runs/<YYYYmmdd-HHMMSS>-<strategy>-<short id>/, never shared."""
    root = os.path.join(data_dir or BASIC_INFO.data_dir, "runs")
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", strategy_name).strip("._") or "strategy"
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    os.makedirs(root, exist_ok=True)
    while True:
        path = os.path.join(root, f"{stamp}-{name[:40]}-{uuid.uuid4().hex[:6]}")
        try:
            os.mkdir(path)  # fails rather than share a folder with another run
            return path
        except FileExistsError:
            continue


def prepare_code_days(codes: list[dict[str, str]], start: str, end: str, *, api=None,
                      ticks_dir: str | None = None,
                      synthetic: bool = False) -> tuple[list[str], list[Problem]]:
    """Loads every expected code-day of `codes` from `start` to `end` into the tick cache once.

    Each trading day of each code is read from the cache and checked, or, on a miss,
    downloaded from `api` (or read from `ticks_dir`, or made by the synthetic market),
    checked and written to the cache, exactly as a run would. Returns the cache file paths
    of every sound code-day, in code then day order, and the problems of the others (a day
    that could not be written to the cache is a problem here, since there is no file to hand
    on). Workers given these files replay them without touching the broker.
    """
    check_codes(codes)
    source, folder, _label = open_source(api, ticks_dir, synthetic)
    log = ProblemLog()
    ticker = CheckedTicker(source, cache_dir=folder, log=log)
    paths = []
    for code, market, day in expected_code_days(codes, start, end):
        frame, path = ticker.load_day(code, market, dt.date.fromisoformat(day))
        if path is not None:
            paths.append(path)
        elif frame is not None:
            log.problem(code, day, kinds.MISSING, "loaded but not in the tick cache "
                        "(today's day, or the cache file could not be written)")
    return paths, list(log.problems)


def print_problems(result) -> None:
    """The run folder, warnings in yellow, one red line per problem and their count."""
    say = console.print
    if result.output_dir:
        say(f"run folder: {result.output_dir}")
    if result.source:
        say(f"ticks from: {result.source}")
    for text in result.warnings:
        say(f"[yellow]warning: {escape(text)}[/yellow]", soft_wrap=True)
    for problem in result.problems:
        say(f"[red]problem: {escape(str(problem))}[/red]", soft_wrap=True)
    if result.problems:
        say(f"[red]{len(result.problems)} problem(s): the run is incomplete[/red]")
    elif result.ticks == 0:
        say("[red]0 ticks replayed: the run is incomplete[/red]")
