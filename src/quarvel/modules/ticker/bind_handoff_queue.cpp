// HandoffQueue: queue.Queue's methods over the native hand-off queue, so ticks and tokens
// can cross threads without the producer taking the GIL.
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "bindings.hpp"
#include "tick_source.hpp"

namespace quarvel::ticker {

using namespace native;

namespace {

std::uint32_t checked_spin(nb::handle spin_micros) {
    long long value = require_int64(spin_micros, "spin_micros");
    if (value < 0 || value > 1'000'000)
        raise_value_error("spin_micros must be between 0 and 1000000");
    return static_cast<std::uint32_t>(value);
}

} // namespace

void bind_handoff_queue(nb::module_ &m) {
    nb::class_<PyHandoffQueue> cls(m, "HandoffQueue");
    cls.doc() = "Unbounded FIFO with queue.Queue's methods, for hand-offs between threads.\n\n"
                "Waiting consumers spin for up to `spin_micros` microseconds before they\n"
                "sleep (0 sleeps at once); every wait releases the GIL.";
    cls.def(
        "__init__",
        [](PyHandoffQueue *q, nb::handle maxsize, nb::handle spin_micros) {
            require_int(maxsize, "maxsize");
            new (q) PyHandoffQueue(checked_spin(spin_micros));
        },
        nb::arg("maxsize").none() = 0,
        nb::arg("spin_micros").none() = core::ticker::HandoffQueue::kDefaultSpinMicros,
        nb::sig("def __init__(self, maxsize: int = 0, spin_micros: int = 50) -> None"));
    cls.def(
        "put", [](PyHandoffQueue &q, nb::handle item, nb::handle, nb::handle) { q.put(item); },
        nb::arg("item").none(), nb::arg("block").none() = true,
        nb::arg("timeout").none() = nb::none(),
        nb::sig("def put(self, item: object, block: bool = True, timeout: float | None = None) "
                "-> None"));
    cls.def(
        "put_nowait", [](PyHandoffQueue &q, nb::handle item) { q.put(item); },
        nb::arg("item").none(), nb::sig("def put_nowait(self, item: object) -> None"));
    cls.def(
        "get",
        [](PyHandoffQueue &q, nb::handle block, nb::handle timeout) {
            if (!timeout.is_none())
                require_real(timeout, "timeout");
            // A `block` whose truth test raises must raise here, not return an item with
            // the error still pending.
            const int blocking = PyObject_IsTrue(block.ptr());
            if (blocking < 0)
                throw nb::python_error();
            return q.get(blocking == 1, timeout);
        },
        nb::arg("block").none() = true, nb::arg("timeout").none() = nb::none(),
        nb::sig("def get(self, block: bool = True, timeout: float | None = None) -> object"));
    cls.def(
        "get_nowait", [](PyHandoffQueue &q) { return q.get(false, nb::none()); },
        nb::sig("def get_nowait(self) -> object"));
    cls.def(
        "qsize", [](PyHandoffQueue &q) { return q.native().size(); },
        nb::sig("def qsize(self) -> int"));
    cls.def(
        "empty", [](PyHandoffQueue &q) { return q.native().size() == 0; },
        nb::sig("def empty(self) -> bool"));
    cls.def("full", [](PyHandoffQueue &) { return false; }, nb::sig("def full(self) -> bool"));
    cls.def_prop_ro(
        "maxsize", [](PyHandoffQueue &) { return 0; }, nb::sig("def maxsize(self) -> int"));
    cls.def_prop_rw(
        "spin_micros", [](PyHandoffQueue &q) { return q.native().spin_micros(); },
        [](PyHandoffQueue &q, nb::handle value) {
            q.native().set_spin_micros(checked_spin(value));
        },
        nb::sig("def spin_micros(self) -> int"));
}

} // namespace quarvel::ticker
