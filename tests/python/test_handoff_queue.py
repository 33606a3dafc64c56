"""HandoffQueue keeps queue.Queue's semantics (checked side by side with queue.Queue)."""

import queue
import threading

import pytest

from quarvel.modules.ticker.ticker import HandoffQueue

pytestmark = pytest.mark.timeout(30)


@pytest.fixture(params=[HandoffQueue, lambda: HandoffQueue(spin_micros=0), queue.Queue],
                ids=["handoff", "handoff-no-spin", "queue.Queue"])
def q(request):
    return request.param()


def test_fifo_and_sizes(q):
    assert q.empty() and q.qsize() == 0
    items = [True, {"a": 1}, None, "x", 3]
    for item in items:
        q.put(item)
    q.put_nowait(False)
    assert q.qsize() == 6 and not q.empty() and not q.full()
    assert [q.get() for _ in items] + [q.get_nowait()] == items + [False]
    assert q.empty()


@pytest.mark.parametrize("take", [lambda q: q.get_nowait(), lambda q: q.get(False),
                                  lambda q: q.get(timeout=0.05), lambda q: q.get(True, 0)])
def test_taking_from_an_empty_queue_raises_empty(q, take):
    with pytest.raises(queue.Empty):
        take(q)


def test_negative_timeout_is_refused(q):
    with pytest.raises(ValueError):
        q.get(timeout=-1)


def test_blocked_get_is_woken_by_a_put_from_another_thread(q):
    result = []
    consumer = threading.Thread(target=lambda: result.append(q.get(timeout=10)))
    consumer.start()
    q.put("tick")
    consumer.join(timeout=10)
    assert result == ["tick"]


def test_objects_survive_the_trip_with_their_identity(q):
    marker = {"orva_status": "x"}
    q.put(marker)
    assert q.get() is marker


def test_spin_budget_is_adjustable():
    q = HandoffQueue(spin_micros=0)
    assert q.spin_micros == 0
    q.spin_micros = 200
    assert q.spin_micros == 200
    with pytest.raises(ValueError):
        HandoffQueue(spin_micros=-1)
    with pytest.raises(TypeError, match="spin_micros"):
        HandoffQueue(spin_micros=1.5)
