"""Threads under load: no order, fill or report is lost or doubled.

Four threads submit 10,000 mixed requests (adds, quantity and price changes, cancels), half
through the request queue and half by direct calls, while the driver's thread replays
100,000 ticks through match_deal and another pair of threads runs position hand-shakes.
Afterwards every accepted order is accounted for exactly once, every fill has one deal
report, one "Deal" trade record and one booking in the ledger, and the ledger's capital and
book equal a single-threaded replay of its own trade records.
"""

from __future__ import annotations

import json
import os
import queue
import random
import threading
from collections import Counter, defaultdict

import pytest

from quarvel.constant import OperationType

matcher_module = pytest.importorskip("quarvel.modules.matcher.matcher")
positions_module = pytest.importorskip("quarvel.modules.positions.positions")
if not hasattr(matcher_module, "Matcher") or not hasattr(positions_module.Positions,
                                                            "fetch_positions"):
    pytest.skip("the matcher and the position queries are not built", allow_module_level=True)
Matcher = matcher_module.Matcher
Positions = positions_module.Positions

SUBMITTERS = 4
REQUESTS_PER_SUBMITTER = 2500
TICKS = 100_000
CODES = {"2330": ("Stock", 600.0, 1.0), "2317": ("Stock", 100.0, 0.5),
         "0050": ("Stock", 45.0, 0.01), "TXFA4": ("Future", 17000.0, 5.0)}
START_TS = 1704157200.0


class Sink:
    """Console and logger stand-in; tells when the receiver has reached the marker request."""

    # A queued one-lot cut of an order already cut to nothing is refused, as it should be.
    EXPECTED = "大於原本的數量"

    def __init__(self, marker):
        self.marker = marker
        self.reached = threading.Event()
        self.errors = []
        self.refused = 0

    def print(self, text="", *args, **kwargs):
        text = str(text)
        if self.marker in text:
            self.reached.set()
        elif "接收委託單失敗" in text and self.EXPECTED in text:
            self.refused += 1
        elif "接收委託單失敗" in text or "發生錯誤" in text:
            self.errors.append(text)

    def error(self, text="", *args, **kwargs):
        try:
            message = json.loads(text)["error"]
        except (ValueError, KeyError, TypeError):
            message = str(text)
        if self.EXPECTED not in message:
            self.errors.append(str(text))


def tick_stream(seed=7):
    """Deterministic ticks: a grid-aligned random walk per code, volumes 0..12."""
    rng = random.Random(seed)
    prices = {code: base for code, (_, base, _) in CODES.items()}
    codes = list(CODES)
    for i in range(TICKS):
        code = codes[i % len(codes)]
        _, base, step = CODES[code]
        drift = -1 if prices[code] > base * 1.02 else (1 if prices[code] < base * 0.98 else 0)
        prices[code] = round(prices[code] + step * (rng.choice((-1, 0, 1)) + drift), 2)
        yield {"market_type": CODES[code][0], "timestamp": START_TS + i * 0.25, "code": code,
               "close": prices[code], "qty": rng.choice((0, 1, 2, 3, 5, 8, 12)),
               "tick_type": 1, "is_simulate": False, "is_backfilling": False}


class Progress:
    """How far the replay got; submitters spread their requests over the first 90% of it."""

    def __init__(self):
        self.tick = 0
        self.finished = False
        self.changed = threading.Condition()

    def advance(self, tick, finished=False):
        with self.changed:
            self.tick, self.finished = tick, finished
            self.changed.notify_all()

    def wait_for(self, tick):
        with self.changed:
            self.changed.wait_for(lambda: self.tick >= tick or self.finished, timeout=60)


def submitter(matcher, seed, counts, failures, progress):
    rng = random.Random(seed)
    local = Counter()
    try:
        for n in range(REQUESTS_PER_SUBMITTER):
            progress.wait_for(int(n * 0.9 * TICKS / REQUESTS_PER_SUBMITTER))
            kind = rng.choices(("add", "modify", "cancel"), (50, 25, 25))[0]
            queued = rng.random() < 0.5
            resting = list(matcher.pending_orders)
            trade_id = (rng.choice(resting)["trade_id"] if resting and rng.random() < 0.9
                        else "no-such-order")
            if kind == "add":
                code = rng.choice(list(CODES))
                product, base, step = CODES[code]
                payload = {"code": code, "product_type": product,
                           "action": rng.choice(("Buy", "Sell")),
                           "price": base + step * rng.randint(-6, 6), "qty": rng.randint(1, 5),
                           "price_type": rng.choices(("LMT", "MKT"), (85, 15))[0],
                           "order_type": rng.choices(("ROD", "IOC", "FOK"), (60, 20, 20))[0]}
            elif kind == "modify":
                # Quantity cuts are always one lot, so the reports tell how much was taken off.
                payload = {"trade_id": trade_id}
                if rng.random() < 0.6:
                    payload["qty"] = 1
                if "qty" not in payload or rng.random() < 0.3:
                    payload["price"] = float(rng.choice([p for _, p, _ in CODES.values()]))
            else:
                payload = {"trade_id": trade_id}
            local[f"{kind}_{'queued' if queued else 'direct'}"] += 1
            if queued:
                matcher.add_pending_order_queue(kind, payload)
            elif kind == "add":
                matcher.add_order(**payload)
            elif kind == "modify":
                try:
                    matcher.modify_order(payload["trade_id"], payload.get("qty"),
                                         payload.get("price"))
                except ValueError:  # one lot off an order already cut to nothing
                    local["modify_refused"] += 1
            else:
                matcher.cancel_order(payload["trade_id"])
    except BaseException as error:  # noqa: BLE001 - reported by the main thread
        failures.append(repr(error))
    finally:
        with counts["lock"]:
            counts["submitted"].update(local)


def position_handshakes(ledger, stop, done_count, failures):
    """Requester side of the position hand-shake, with its consumer on a third thread."""
    taken = []

    def consumer():
        while True:
            item = ledger.pop_positions()
            if isinstance(item, dict) and item.get("stop"):
                return
            taken.append(item)
            ledger.add_finish_notify_to_queue()

    worker = threading.Thread(target=consumer, daemon=True)
    worker.start()
    rng = random.Random(3)
    try:
        while not stop.is_set():
            ledger.wait_fetch_position_response_flag = True
            ledger.fetch_positions(rng.choice(("Stock", "Future")), rng.random() < 0.5)
            assert ledger.pop_finish_notify() is True
            assert ledger.wait_fetch_position_response_flag is False
            done_count.append(1)
    except BaseException as error:  # noqa: BLE001
        failures.append(repr(error))
    finally:
        ledger.add_positions_to_queue({"stop": True})
        worker.join(30)
    if not all(isinstance(item, list) for item in taken):
        failures.append("a position hand-shake delivered something other than a list")


def drain(q):
    items = []
    while True:
        try:
            items.append(q.get_nowait())
        except queue.Empty:
            return items


def replay_ledger(deal_records, deal_reports, product_of):
    """The ledger that the "Deal" trade records imply, booked on one thread in their order
    (the tick time, which a trade record keeps only as text, comes from the deal report)."""
    ledger = Positions()
    for record, report in zip(deal_records, deal_reports):
        product = product_of[record["code"]]
        ledger.set_positions({"trade_id": record["trade_id"], "code": record["code"],
                              "product_type": product, "action": record["action"],
                              "price": record["price"], "quantity": record["quantity"],
                              "exchange_ts": report["exchange_ts"]}, product)
    return ledger


def book_view(book):
    return {code: {side: [(e["code"], e["action"], e["price"], e["quantity"], e["exchange_ts"])
                          for e in entries] for side, entries in sides.items()}
            for code, sides in book.items()}


@pytest.mark.timeout(300, method="thread")
def test_orders_fills_and_reports_survive_concurrent_load(monkeypatch):
    marker = "stress-drained-marker"
    sink = Sink(marker)
    for module in (matcher_module, positions_module):
        monkeypatch.setattr(module, "console", sink)
        if hasattr(module, "logger"):
            monkeypatch.setattr(module, "logger", sink)
    ledger = Positions()
    matcher = Matcher(ledger)
    counts = {"lock": threading.Lock(), "submitted": Counter()}
    failures = []
    stop_handshakes = threading.Event()
    handshakes = []

    progress = Progress()
    threads = [threading.Thread(target=submitter,
                                args=(matcher, 100 + i, counts, failures, progress),
                                daemon=True) for i in range(SUBMITTERS)]
    threads.append(threading.Thread(target=position_handshakes,
                                    args=(ledger, stop_handshakes, handshakes, failures),
                                    daemon=True))
    for thread in threads:
        thread.start()

    # The driver's thread: replay the ticks, draining reports now and then like a strategy.
    reports = []
    for i, tick in enumerate(tick_stream()):
        matcher.set_current_tick(tick)
        matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        if i % 200 == 0:
            progress.advance(i)
        if i % 5000 == 0:
            reports += drain(matcher.response_queue)
    progress.advance(TICKS, finished=True)

    for thread in threads[:SUBMITTERS]:
        thread.join(120)
        assert not thread.is_alive(), "a submitter did not finish"
    matcher.add_pending_order_queue("cancel", {"trade_id": marker})
    assert sink.reached.wait(60), "the receiver did not work through its queue"
    # A closing tick per code with ample volume: no IOC or FOK order may survive it.
    for code, (product, base, _) in CODES.items():
        ts = START_TS + TICKS * 0.25
        matcher.set_current_tick({"market_type": product, "timestamp": ts, "code": code,
                                  "close": base, "qty": 10**6, "tick_type": 1,
                                  "is_simulate": False, "is_backfilling": False})
        matcher.match_deal(code, base, 10**6, ts)
    stop_handshakes.set()
    threads[-1].join(60)
    assert not threads[-1].is_alive(), "the position hand-shake stalled"
    assert failures == []
    assert sink.errors == []
    reports += drain(matcher.response_queue)

    submitted = counts["submitted"]
    order_reports = [r for r in reports if "operation_type" in r]
    deal_reports = [r for r in reports if "exchange_seqno" in r]
    assert len(order_reports) + len(deal_reports) == len(reports)
    by_type = defaultdict(list)
    for report in order_reports:
        by_type[OperationType.from_value(report["operation_type"])].append(report["order"])

    # Every add produced exactly one order, with one NEW report.
    created = {o["id"]: o for o in by_type[OperationType.NEW]}
    assert len(created) == len(by_type[OperationType.NEW])
    assert len(created) == submitted["add_queued"] + submitted["add_direct"]

    filled = Counter()
    for deal in deal_reports:
        assert deal["id"] in created
        filled[deal["id"]] += deal["quantity"]
    cuts = Counter(o["id"] for o in by_type[OperationType.UPDATE_QTY])
    cancels = Counter(o["id"] for o in by_type[OperationType.CANCEL])
    cancelled_qty = {o["id"]: o["quantity"] for o in by_type[OperationType.CANCEL]}
    resting = {o["trade_id"]: o for o in matcher.pending_orders}
    assert len(resting) == len(matcher.pending_orders), "an order rests twice"
    assert set(resting) <= set(created)

    # Exactly one fate per order, and its quantity adds up: ordered = filled + cut +
    # cancelled remainder + still resting.
    fates = Counter()
    for trade_id, order in created.items():
        assert cancels[trade_id] <= 1
        is_resting, is_cancelled = trade_id in resting, cancels[trade_id] == 1
        assert not (is_resting and is_cancelled), trade_id
        left = resting[trade_id]["quantity"] if is_resting else 0
        gone = cancelled_qty.get(trade_id, 0)
        assert order["quantity"] == filled[trade_id] + cuts[trade_id] + gone + left, trade_id
        if is_resting:
            assert order["order_type"] == "ROD", "an IOC or FOK order outlived its tick"
        fates["resting" if is_resting else "cancelled" if is_cancelled else "filled"] += 1

    # One "Deal" trade record per deal report, in the same order; "Cancel" records only
    # for orders that were cancelled, with the cancelled quantity.
    deal_records = [r for r in ledger.trade_records if r["trade_status"] == "Deal"]
    cancel_records = [r for r in ledger.trade_records if r["trade_status"] == "Cancel"]
    assert len(deal_records) + len(cancel_records) == len(ledger.trade_records)
    assert [(r["trade_id"], r["code"], r["action"], r["quantity"], r["price"])
            for r in deal_records] == \
        [(d["id"], d["code"], d["action"], d["quantity"], d["price"]) for d in deal_reports]
    for record in cancel_records:
        assert cancelled_qty[record["trade_id"]] == record["quantity"]
    assert len({r["trade_id"] for r in cancel_records}) == len(cancel_records)

    # One booking per fill: the live ledger equals the fills replayed on one thread.
    product_of = {code: product for code, (product, _, _) in CODES.items()}
    replayed = replay_ledger(deal_records, deal_reports, product_of)
    assert ledger.current_capital == replayed.current_capital
    assert book_view(ledger.positions) == book_view(replayed.positions)
    assert ledger._account_infos == replayed._account_infos
    assert ledger._profit_report["profit"] == replayed._profit_report["profit"]
    assert len(ledger._profit_report["rows"]) == len(replayed._profit_report["rows"])

    summary = {"ticks": TICKS, "requests": sum(v for k, v in submitted.items()
                                               if not k.endswith("refused")),
               "submitted": dict(submitted), "orders": len(created), "fates": dict(fates),
               "deal_reports": len(deal_reports), "deal_records": len(deal_records),
               "cancel_reports": sum(cancels.values()), "cancel_records": len(cancel_records),
               "quantity_cuts": sum(cuts.values()),
               "price_changes": len(by_type[OperationType.UPDATE_PRICE]),
               "position_handshakes": len(handshakes),
               "queued_cuts_refused": sink.refused,
               "profit_rows": len(ledger._profit_report["rows"]),
               "capital": ledger.current_capital}
    assert summary["requests"] == SUBMITTERS * REQUESTS_PER_SUBMITTER
    assert fates["filled"] > 0 and summary["cancel_records"] > 0 and len(handshakes) > 0
    if os.environ.get("QUARVEL_STRESS_STATS"):
        with open(os.environ["QUARVEL_STRESS_STATS"], "w", encoding="utf-8") as out:
            json.dump(summary, out, indent=1)
