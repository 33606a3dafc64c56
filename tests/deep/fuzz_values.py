"""Arbitrary Python values and the call harness of the boundary fuzzing tests.

Every native method must answer any input with a return value or a Python exception.
Values come from two pools: `arbitrary()` (wrong types, bool for int, huge and negative
ints, NaN and infinities, empty, NUL, surrogate and non-ASCII text, enum members, hostile
objects whose protocol methods raise, cyclic and very deep containers) and record-shaped
dicts with keys dropped or holding wrong-typed values, chosen by argument name so that calls
also get past the type checks into the logic.
"""

from __future__ import annotations

import ast
import copy
import enum
import math
import os
import re
from collections import Counter

import polars as pl
from hypothesis import strategies as st

from quarvel import constant

# Examples per fuzzed method: bounded in CI, raised for a deep run.
EXAMPLES = int(os.environ.get("QUARVEL_FUZZ_EXAMPLES", "40"))
# Wall-clock bound per fuzz test; a call that hangs fails the run instead of stalling it.
TIMEOUT = max(300, EXAMPLES * 3)

# Calls and outcomes per "Class.method", for the summary the deep run prints.
OUTCOMES: dict[str, Counter] = {}


class FuzzError(Exception):
    """Raised by the hostile objects below; any code path may let it through."""


def _boom(*_args, **_kwargs):
    raise FuzzError("hostile protocol method")


class Hostile:
    """Every protocol the native code might use on an argument raises."""

    __str__ = __bool__ = __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _boom
    __len__ = __iter__ = __index__ = __int__ = __float__ = __getitem__ = _boom
    __contains__ = __format__ = __setitem__ = __call__ = __deepcopy__ = __copy__ = _boom
    __hash__ = _boom  # type: ignore[assignment]

    def __repr__(self):
        raise FuzzError("hostile repr")

    def _repr_pretty_(self, printer, cycle):  # how hypothesis shows a failing example
        printer.text("Hostile()")


class HostileAttrs:
    """Hashable and printable, but every attribute lookup raises something unusual."""

    def __getattr__(self, name):
        raise FuzzError(f"no {name} here")

    def __repr__(self):
        return "HostileAttrs()"


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    def __getitem__(self, key):
        raise FuzzError("dict subclass refuses item access")


class ListSub(list):
    pass


def _deep_list(depth=5000):
    out = []
    for _ in range(depth):
        out = [out]
    return out


def _deep_dict(depth=5000):
    out = {}
    for _ in range(depth):
        out = {"code": out}
    return out


def _cyclic_list():
    out = ["2330"]
    out.append(out)
    return out


def _cyclic_dict():
    out = {"code": "2330", "price": 1.0}
    out["self"] = out
    return out


ENUM_MEMBERS = [
    member
    for value in vars(constant).values()
    if isinstance(value, type) and issubclass(value, enum.Enum)
    and value.__module__ == constant.__name__
    for member in value
]

WORDS = [
    "", " ", "\x00", "a\x00b", "\ud800", "x\udfffy", "台積電", "🙂", "é", "Stock", "Future", "stock",
    "future", "Option", "Index", "Buy", "Sell", "buy", "sell", "up", "down", "LMT", "MKT", "ROD",
    "IOC", "FOK", "Cash", "Common", "Auto", "add", "modify", "cancel", "delete", "2330", "0050",
    "TXFA4", "MXFB4", "m", "h", "d", "w", "mo", "q", "y", "1d", "2024-01-02", "2024-01-03",
    "2024-13-45", "../../..", "/", "%s%n%x", "{}", "{0}", "x" * 5000, "Deal", "Cancel",
    "Order", "exit_send_tick", "finish_backfilling", "None", "nan", "-1", "1e309",
]
BIG_INTS = [0, 1, -1, 2, 3, 5, 1000, 2**31 - 1, 2**31, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
            2**64, 10**30, -(10**30), 10**400]
ODD_FLOATS = [0.0, -0.0, 0.5, 1.0, -1.0, 600.0, 1e-320, 1e308, -1e308, 1e16, 17000.0,
              math.nan, -math.nan, math.inf, -math.inf, 2.0**63, 1704157200.0]

scalar_values = st.one_of(
    st.none(),
    st.booleans(),
    st.sampled_from(BIG_INTS),
    st.integers(),
    st.sampled_from(ODD_FLOATS),
    st.floats(),
    st.sampled_from(WORDS),
    st.text(max_size=12),
    st.binary(max_size=8),
    st.sampled_from(ENUM_MEMBERS),
    st.sampled_from([Ellipsis, int, len, object, pl.DataFrame]),
    st.builds(object),
    st.builds(Hostile),
    st.builds(HostileAttrs),
    st.builds(StrSub, st.sampled_from(["2330", "Stock", "Buy"])),
    st.builds(IntSub, st.sampled_from([0, 1, 5])),
    st.builds(FloatSub, st.sampled_from([1.0, math.nan])),
    st.builds(complex, st.floats(allow_nan=False), st.floats(allow_nan=False)),
)

_hashable_keys = st.one_of(st.sampled_from(WORDS[:40]), st.integers(-3, 3), st.none(),
                           st.sampled_from(ENUM_MEMBERS))


def arbitrary():
    """Any value: scalars, nested containers, hostile and pathological objects."""
    containers = st.recursive(
        scalar_values,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.tuples(inner, inner),
            st.dictionaries(_hashable_keys, inner, max_size=4),
            st.builds(ListSub, st.lists(inner, max_size=3)),
            st.builds(DictSub, st.dictionaries(_hashable_keys, inner, max_size=3)),
        ),
        max_leaves=8,
    )
    pathological = st.sampled_from([_deep_list, _deep_dict, _cyclic_list, _cyclic_dict]).map(
        lambda make: make())
    frames = st.sampled_from([
        lambda: pl.DataFrame(),
        lambda: pl.DataFrame({"a": [1, 2]}),
        lambda: pl.DataFrame({"close": [1.0], "qty": [None]}),
    ]).map(lambda make: make())
    return st.one_of(scalar_values, containers, pathological, frames)


# ----- record-shaped values ------------------------------------------------------------------

TICK = {"market_type": "Stock", "timestamp": 1704157200.0, "code": "2330", "close": 600.0,
        "qty": 5, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
DEAL = {"operation_type": "New", "operation_code": "00", "operation_message": "ok",
        "trade_id": "AbCdEfGhIjKlMnOp", "account_id": "BT-00001", "code": "2330",
        "product_type": "Stock", "action": "Buy", "price": 600.0, "quantity": 1,
        "price_type": "LMT", "order_type": "ROD", "exchange_ts": 1704157200.0,
        "order_cond": "Cash", "order_lot": "Common"}
ADD_PAYLOAD = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 600.0,
               "qty": 1, "price_type": "LMT", "order_type": "ROD"}
MODIFY_PAYLOAD = {"trade_id": "AbCdEfGhIjKlMnOp", "qty": 1, "price": 601.0}
CODES_ENTRY = {"code": "2330", "market": "Stock"}
PROFIT_ROW = {"code": "2330", "entry_action": "Buy", "entry_dt": 1704157200.0,
              "entry_price": 603.0, "entry_origin_price": 600.0, "exit_action": "Sell",
              "exit_dt": 1704157260.0, "exit_price": 607.0, "exit_origin_price": 610.0,
              "qty": 1, "min_qty": 1000, "trade_cost": 859.275, "cover_cost": 2685.975,
              "cover_cost_fee": 864.975, "cover_cost_tax": 1821.0, "cover_cost_fixed": 0,
              "trade_cost_fee": 859.275, "trade_cost_tax": 0, "trade_cost_fixed": 0,
              "profit": 454.75, "profit_ratio": 0.00075, "entry_amount": 603000.0,
              "exit_amount": 607000.0}


ORDER_FIELDS = {"operation_type": constant.OperationType.NEW, "operation_code": "00",
                "operation_message": "ok", "trade_id": "AbCdEfGhIjKlMnOp",
                "account_id": "BT-00001", "code": "2330", "action": "Buy", "price": 600.0,
                "quantity": 1, "price_type": "LMT", "order_type": "ROD",
                "exchange_ts": 1704157200.0, "order_cond": "Cash", "order_lot": "Common",
                "oc_type": "Auto"}
DEAL_FIELDS = {"id": "AbCdEfGhIjKlMnOp", "seqno": "AbCdEfGhIjKlMnOp",
               "ordno": "AbCdEfGhIjKlMnOp", "exchange_seqno": "AbCdEfGhIjKlMnOp",
               "broker_id": "ORVA Backtest Exchange", "account": "BT-00001", "action": "Sell",
               "code": "TXFA4", "quantity": 2, "price": 17000.0, "exchange_ts": 1704157200.5,
               "order_cond": "Cash", "order_lot": "Common"}


def _tick_frames():
    from datetime import datetime
    stamp = datetime(2024, 1, 2, 9, 1)
    return st.sampled_from([
        lambda: pl.DataFrame({"kbar_time": [stamp], "code": ["2330"], "close": [600.0],
                              "qty": [3]}),
        lambda: pl.DataFrame({"kbar_time": [stamp, None], "code": ["2330", None],
                              "close": [math.nan, None], "qty": [2**62, None]}),
        lambda: pl.DataFrame({"kbar_time": ["x"], "code": [1], "close": ["y"], "qty": [1.5]}),
    ]).map(lambda make: make())


def _quote_manager():
    """A quote manager holding a few ticks of 2330, or junk in its place."""
    def make(count):
        from quarvel.modules.positions.positions import QuoteManager
        manager = QuoteManager()
        for i in range(count):
            manager.add_tick(dict(TICK, timestamp=TICK["timestamp"] + 61.0 * i,
                                  close=600.0 + i))
        return manager
    return st.builds(make, st.integers(0, 3))


@st.composite
def shaped(draw, template):
    """`template` with each key kept, dropped or given an arbitrary value; maybe an extra key."""
    out = {}
    for key, value in template.items():
        mode = draw(st.sampled_from(["keep", "keep", "keep", "keep", "drop", "junk"]))
        if mode == "keep":
            out[key] = copy.deepcopy(value)
        elif mode == "junk":
            out[key] = draw(scalar_values)
    if draw(st.integers(0, 4)) == 0:
        out[draw(_hashable_keys)] = draw(scalar_values)
    return out


def _request():
    payloads = st.one_of(shaped(ADD_PAYLOAD), shaped(MODIFY_PAYLOAD), shaped({"trade_id": "x"}))
    return st.one_of(
        st.builds(lambda a, p: {"action": a, "payload": p},
                  st.sampled_from(["add", "modify", "cancel", "delete", ""]), payloads),
        shaped({"action": "add", "payload": ADD_PAYLOAD}),
    )


def _dates():
    return st.sampled_from(["2024-01-02", "2024-01-03", "2024-01-01", "2023-12-31", "",
                            "not a date", "2024-02-30", "\ud800"])


# Slippage takes one step per tick (about 20 ns each): counts from a million up to the 64-bit
# limit would run for minutes to centuries (interruptibly). Larger ones are refused at once.
WORKABLE_TICK_COUNTS = [n for n in BIG_INTS if not 10**6 < abs(n) < 2**63] + [10**6]


def _workable(value):
    return not (type(value) is int and 10**6 < abs(value) < 2**63)


# Plausible values by argument name: enough of them are right that calls reach the logic.
PLAUSIBLE = {
    "code": st.sampled_from(["2330", "0050", "TXFA4", "", "台積電", "\ud800"]),
    "product_type": st.sampled_from(["Stock", "Future", "stock", "Option"]),
    "account_type": st.sampled_from(["Stock", "Future", "Index"]),
    "market_type": st.sampled_from(["Stock", "Future", "Option"]),
    "setting_type": st.sampled_from(["stock", "future", "Stock", "a\x00b", "\ud800"]),
    "action": st.sampled_from(["Buy", "Sell", "buy", "sell", "add", "modify", "cancel",
                               "delete"]) | st.sampled_from(list(constant.Action)),
    "direction": st.sampled_from(["up", "down", "sideways"]),
    "price_type": st.sampled_from(["LMT", "MKT"]),
    "order_type": st.sampled_from(["ROD", "IOC", "FOK", "GTC"]),
    "trade_status": st.sampled_from(["Deal", "Cancel", "Order"]),
    "trade_id": st.sampled_from(["AbCdEfGhIjKlMnOp", "missing", ""]),
    "unit": st.sampled_from(["m", "h", "d", "w", "mo", "q", "y", "s", "M"]),
    "file_name": st.sampled_from([None, "out.csv", "", "a/b.csv"]),
    "price": st.sampled_from(ODD_FLOATS) | st.integers(-5, 2000),
    "tick_close": st.sampled_from(ODD_FLOATS),
    "timestamp": st.sampled_from(ODD_FLOATS) | st.sampled_from(BIG_INTS),
    "tick_ts": st.sampled_from(ODD_FLOATS),
    "fee": st.sampled_from(ODD_FLOATS),
    "tax": st.sampled_from(ODD_FLOATS),
    "qty": st.sampled_from(BIG_INTS) | st.integers(-3, 10),
    "quantity": st.sampled_from(BIG_INTS) | st.integers(-3, 10),
    "tick_qty": st.sampled_from(BIG_INTS) | st.integers(0, 10),
    "tick_count": st.sampled_from(WORKABLE_TICK_COUNTS) | st.integers(-3, 10),
    "freq": st.sampled_from(BIG_INTS) | st.integers(-1, 30),
    "capital": st.sampled_from(BIG_INTS),
    "per_trade_cost": st.sampled_from(BIG_INTS),
    "fetch_detail": st.booleans(),
    "ignore_tax": st.booleans(),
    "need_reverse_direction": st.booleans(),
    "to_pandas_df": st.booleans(),
    "exprs": st.sampled_from([[], None]).map(lambda v: v if v is None else list(v))
    | st.builds(lambda: [pl.col("Close").mean().alias("m")]),
    "tick": shaped(TICK),
    "data": st.one_of(shaped(ORDER_FIELDS), shaped(DEAL_FIELDS)),
    "tick_df": _tick_frames(),
    "quote_manager": _quote_manager(),
    "operation_type": st.sampled_from(list(constant.OperationType) + ["New"]),
    "code_obj": st.sampled_from(list(constant.SuccessCode) + [("00", "x")]),
    "order_cond": st.sampled_from(["Cash", "MarginTrading", "Nope"]),
    "order_lot": st.sampled_from(["Common", "Odd", "Nope"]),
    "oc_type": st.sampled_from(["Auto", "Cover", "Nope"]),
    "response": shaped(DEAL),
    "trade": shaped(DEAL),
    "cover_position": shaped(DEAL),
    "payload": st.one_of(shaped(ADD_PAYLOAD), shaped(MODIFY_PAYLOAD)),
    "positions": st.one_of(st.lists(shaped(DEAL), max_size=2), shaped(DEAL),
                           st.tuples(st.none())),
    "codes": st.lists(shaped(CODES_ENTRY), max_size=2),
    "start_from": _dates(),
    "end_to": _dates(),
    "date": _dates(),
    "backfilling_start_from": st.none() | _dates(),
    "backfilling_end_to": st.none() | _dates(),
}


def _valid_deal():
    return st.builds(lambda action, qty, price, code: dict(DEAL, action=action, quantity=qty,
                                                            price=price, code=code,
                                                            product_type=_product_of(code)),
                     st.sampled_from(["Buy", "Sell"]), st.integers(1, 5),
                     st.sampled_from([598.0, 600.0, 601.5, 17000.0]),
                     st.sampled_from(["2330", "TXFA4"]))


def _product_of(code):
    return "Future" if code.startswith("TX") else "Stock"


# Values that pass every check, so that calls reach the bookkeeping behind them.
VALID = {
    "code": st.sampled_from(["2330", "TXFA4"]),
    "product_type": st.sampled_from(["Stock", "Future"]),
    "account_type": st.sampled_from(["Stock", "Future"]),
    "market_type": st.sampled_from(["Stock", "Future"]),
    "setting_type": st.sampled_from(["stock", "future"]),
    "action": st.sampled_from(["Buy", "Sell"]),
    "direction": st.sampled_from(["up", "down"]),
    "price_type": st.sampled_from(["LMT", "MKT"]),
    "order_type": st.sampled_from(["ROD", "IOC", "FOK"]),
    "trade_status": st.sampled_from(["Deal", "Cancel"]),
    "unit": st.sampled_from(["m", "h", "d"]),
    "price": st.sampled_from([598.0, 600.0, 601.5, 17000.0]),
    "tick_close": st.sampled_from([597.0, 600.0, 602.0, 17000.0]),
    "timestamp": st.integers(0, 500).map(lambda k: 1704157200.0 + 30.0 * k),
    "tick_ts": st.integers(0, 500).map(lambda k: 1704157200.0 + 30.0 * k),
    "qty": st.integers(1, 5),
    "quantity": st.integers(1, 5),
    "tick_qty": st.integers(0, 10),
    "tick_count": st.integers(0, 5),
    "freq": st.integers(1, 5),
    "capital": st.just(100000),
    "exprs": st.builds(list),
    "order_cond": st.just("Cash"),
    "order_lot": st.just("Common"),
    "oc_type": st.just("Auto"),
    "tick": st.builds(lambda code, close, qty, k: dict(TICK, code=code, close=close, qty=qty,
                                                       market_type=_product_of(code),
                                                       timestamp=1704157200.0 + 30.0 * k),
                      st.sampled_from(["2330", "TXFA4"]),
                      st.sampled_from([597.0, 600.0, 602.0, 17000.0]), st.integers(0, 10),
                      st.integers(0, 500)),
    "trade": _valid_deal(),
    "cover_position": _valid_deal(),
}


def value_for(name, tier="mixed"):
    """A value for the argument `name`: valid, plausible, or (in "mixed") sometimes anything."""
    if tier == "valid" and name in VALID:
        return VALID[name]
    anything = arbitrary().filter(_workable) if name == "tick_count" else arbitrary()
    plausible = PLAUSIBLE.get(name)
    if plausible is None:
        return anything
    if tier != "mixed":
        return plausible
    return st.one_of(plausible, plausible, anything)


# ----- signatures and calls --------------------------------------------------------------------

def signature_of(func):
    """(parameters, takes_varargs) from the nanobind signature; parameters are (name, required)."""
    target = getattr(func, "fget", func)
    sigs = getattr(target, "__nb_signature__", None)
    text = sigs[0][0] if sigs else (getattr(target, "__doc__", None) or "").split("\n")[0]
    text = text if text.startswith("def ") else "def " + text
    text = re.sub(r"\)\s*->.*$", ")", text)
    try:
        node = ast.parse(text + ": pass").body[0]
    except SyntaxError:
        return [], True
    args = node.args
    positional = args.posonlyargs + args.args
    required_count = len(positional) - len(args.defaults)
    params = [(a.arg, i < required_count) for i, a in enumerate(positional)]
    params += [(a.arg, d is None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    params = [p for p in params if p[0] != "self"]
    return params, args.vararg is not None


@st.composite
def call_arguments(draw, params, varargs, valid_only=False):
    """Positional and keyword arguments: right count, one short, extras, or by keyword."""
    if valid_only:
        required = [name for name, needed in params if needed]
        return [draw(value_for(name, "valid")) for name in required], {}
    mode = draw(st.sampled_from(["positional", "positional", "keywords", "fewer", "more"]))
    required = [name for name, needed in params if needed]
    optional = [name for name, needed in params if not needed]
    chosen = required + optional[: draw(st.integers(0, len(optional)))]
    if mode == "fewer" and chosen:
        chosen = chosen[:-1]
    # Two calls in three use valid or plausible values only, to get past the type checks.
    tier = draw(st.sampled_from(["valid", "plausible", "mixed"]))
    values = [draw(value_for(name, tier)) for name in chosen]
    if mode == "keywords":
        kwargs = dict(zip(chosen, values))
        if draw(st.integers(0, 5)) == 0:
            kwargs["not_an_argument"] = draw(scalar_values)
        return [], kwargs
    if mode == "more" or (varargs and draw(st.booleans())):
        values += draw(st.lists(value_for("code"), min_size=1, max_size=2))
    return values, {}


# A C++ exception that escaped its translation shows up with these words in the message.
_LEAKED_NATIVE = re.compile(r"std::|basic_string|bad_alloc|bad_cast|nanobind|vector::|"
                            r"out_of_range|stoi|stod|unknown exception")


def record(key, outcome):
    OUTCOMES.setdefault(key, Counter())[outcome] += 1


def call_survives(key, func, args=(), kwargs=None):
    """Calls func; a return or an ordinary Python exception is fine, anything else fails."""
    try:
        func(*args, **(kwargs or {}))
    except SystemError as error:  # a native function broke the C API contract
        raise AssertionError(f"{key}: SystemError {error!r}") from error
    except (FuzzError, RecursionError) as error:
        record(key, type(error).__name__)
    except Exception as error:
        text = _safe_text(error)
        if isinstance(error, RuntimeError) and _LEAKED_NATIVE.search(text):
            raise AssertionError(f"{key}: native exception leaked: {text}") from error
        # A RuntimeError is rare enough to deserve its text in the summary.
        record(key, f"RuntimeError({text[:60]})" if isinstance(error, RuntimeError)
               else type(error).__name__)
    else:
        record(key, "returned")


def _safe_text(error):
    try:
        return str(error)
    except Exception:  # noqa: BLE001
        return "<unprintable>"


# ----- values that call back into the object under test -----------------------------------------

class Reentrant:
    """Looks like a code, a price or a quantity, but the first time native code compares,
    hashes, prints or converts it, it empties or replaces the containers of `owner`: a loop
    that kept a pointer or a size across that call would then read freed memory."""

    def __init__(self, owner, action, value):
        self.owner, self.action, self.value, self.fired = owner, action, value, False

    def _fire(self):
        if self.fired:
            return
        self.fired = True
        if self.action == "clear_all":  # every container reachable, records included
            for container, _ in reversed(leaf_slots(self.owner)):
                container.clear()
            for attr in list(getattr(self.owner, "__dict__", {}).values()):
                if isinstance(attr, (list, dict)):
                    attr.clear()
            return
        for name, attr in list(getattr(self.owner, "__dict__", {}).items()):
            if self.action == "clear" and isinstance(attr, (list, dict)):
                attr.clear()
            elif self.action == "replace" and isinstance(attr, (list, dict)):
                setattr(self.owner, name, type(attr)())
            elif self.action == "delete" and isinstance(attr, (list, dict)):
                delattr(self.owner, name)

    def __eq__(self, other):
        self._fire()
        return self.value == other

    def __ne__(self, other):
        self._fire()
        return self.value != other

    def __lt__(self, other):
        self._fire()
        return self.value < other

    __le__ = __lt__
    __gt__ = __ge__ = lambda self, other: (self._fire(), self.value > other)[1]

    def __hash__(self):
        self._fire()
        return hash(self.value)

    def __str__(self):
        self._fire()
        return str(self.value)

    def __format__(self, format_spec):
        self._fire()
        return format(self.value, format_spec)

    def __repr__(self):
        self._fire()
        return repr(self.value)

    def __float__(self):
        self._fire()
        return float(self.value)

    def __index__(self):
        self._fire()
        return int(self.value) if isinstance(self.value, (int, float)) else 1

    def __bool__(self):
        self._fire()
        return bool(self.value)

    def __deepcopy__(self, memo):
        self._fire()
        return self.value

    def _repr_pretty_(self, printer, cycle):
        printer.text(f"Reentrant({self.action}, {self.value!r})")


@st.composite
def reentrant_record(draw, owner, template):
    """A valid-looking record in which one to three values call back into `owner`."""
    record = copy.deepcopy(template)
    for key in draw(st.lists(st.sampled_from(list(template)), min_size=1, max_size=3,
                             unique=True)):
        action = draw(st.sampled_from(["clear", "replace", "delete"]))
        record[key] = Reentrant(owner, action, record[key])
    return record


def leaf_slots(root, depth=4):
    """(container, key) of every value inside the dicts and lists reachable from `root`."""
    slots = []

    def walk(node, level):
        if level > depth:
            return
        items = node.items() if isinstance(node, dict) else enumerate(node)
        for key, value in list(items):
            slots.append((node, key))
            if isinstance(value, (dict, list)):
                walk(value, level + 1)

    for value in list(getattr(root, "__dict__", {}).values()):
        if isinstance(value, (dict, list)):
            walk(value, 1)
    return slots
