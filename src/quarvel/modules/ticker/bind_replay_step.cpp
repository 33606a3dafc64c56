// ReplayStep: the driver's per-tick engine work in one native call. Each call releases the
// tick handed out by the previous call (allow_next_tick), takes the next item (pop_tick)
// and, for a tick, runs matcher.set_current_tick, quote_manager.add_tick and
// matcher.match_deal on it, exactly the calls the driver made itself: each module's own
// methods run, looked up on every call, so what they do stays theirs.
#include "_native/interned.hpp"
#include "bindings.hpp"
#include "core/handoff_queue.hpp"
#include "playback_ports.hpp"
#include "tick_source.hpp"

namespace quarvel::ticker {

namespace {

/// Interned names, kept for the life of the process (never released after it ends).
PyObject *name(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;
}

struct Names {
    PyObject *pop_tick = name("pop_tick"), *allow_next_tick = name("allow_next_tick"),
             *set_current_tick = name("set_current_tick"), *add_tick = name("add_tick"),
             *match_deal = name("match_deal"), *status = name("orva_status"), *code = name("code"),
             *close = name("close"), *qty = name("qty"), *timestamp = name("timestamp");
};

const Names &names() {
    static const Names n;
    return n;
}

struct ReplayStep {
    nb::object ticker, matcher, quote_manager;
    bool owes_token = false;  // the last item handed out was a tick not yet released
    Ticker *native = nullptr; // set when the Ticker's own pop_tick and allow_next_tick apply
};

/// The Ticker when `ticker` is one whose pop_tick and allow_next_tick are the class's own
/// (not replaced on a subclass or the instance): those two then run here without a call.
Ticker *own_playback(nb::handle ticker) {
    if (!nb::isinstance<Ticker>(ticker))
        return nullptr;
    nb::handle base = nb::type<Ticker>();
    for (const char *method : {"pop_tick", "allow_next_tick"}) {
        nb::object mine = nb::getattr(ticker.type(), method, nb::none());
        if (!mine.is(nb::getattr(base, method, nb::none())))
            return nullptr;
        nb::object dict = nb::getattr(ticker, "__dict__", nb::none());
        if (!dict.is_none() && PyDict_Check(dict.ptr()) && PyDict_GetItemString(dict.ptr(), method))
            return nullptr;
    }
    return nb::inst_ptr<Ticker>(ticker);
}

nb::object call(nb::handle target, PyObject *method, std::initializer_list<PyObject *> args) {
    PyObject *argv[5] = {target.ptr()};
    std::size_t n = 1;
    for (PyObject *arg : args)
        argv[n++] = arg;
    PyObject *out =
        PyObject_VectorcallMethod(method, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!out)
        throw nb::python_error();
    return nb::steal(out);
}

/// tick[key], or KeyError(key) as the driver's own subscript raised it.
PyObject *item(nb::handle tick, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(tick.ptr(), key);
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key);
        throw nb::python_error();
    }
    return value;
}

nb::object step(ReplayStep &s) {
    const Names &n = names();
    nb::object tokens, queue;
    if (s.native) {
        tokens = s.ticker.attr(native::interned<TickerKeys>().allow_next_tick_flag_queue);
        queue = s.ticker.attr(native::interned<TickerKeys>().tick_queue);
    }
    const bool native = s.native && is_native_queue(tokens) && is_native_queue(queue);
    if (s.owes_token) {
        s.owes_token = false;
        if (native)
            nb::cast<PyHandoffQueue &>(tokens).native().put({core::ticker::ItemKind::Token, 0, {}});
        else
            call(s.ticker, n.allow_next_tick, {});
    }
    nb::object tick = native ? nb::cast<PyHandoffQueue &>(queue).get(true, nb::none())
                             : call(s.ticker, n.pop_tick, {});
    // Status markers (end of stream, end of backfilling) go back to the driver as they are.
    if (!PyDict_Check(tick.ptr()))
        return tick;
    PyObject *status = PyDict_GetItemWithError(tick.ptr(), n.status);
    if (status || PyErr_Occurred()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return tick;
    }
    s.owes_token = true;
    call(s.matcher, n.set_current_tick, {tick.ptr()});
    call(s.quote_manager, n.add_tick, {tick.ptr()});
    call(s.matcher, n.match_deal,
         {item(tick, n.code), item(tick, n.close), item(tick, n.qty), item(tick, n.timestamp)});
    return tick;
}

} // namespace

void bind_replay_step(nb::module_ &m) {
    nb::class_<ReplayStep> cls(m, "ReplayStep");
    cls.doc() = "One call per tick: release the last tick, take the next and run the "
                "exchange's and the quote store's per-tick calls on it.";
    cls.def(
        "__init__",
        [](ReplayStep *s, nb::handle ticker, nb::handle matcher, nb::handle quote_manager) {
            new (s) ReplayStep{nb::borrow(ticker), nb::borrow(matcher), nb::borrow(quote_manager),
                               false, own_playback(ticker)};
        },
        nb::arg("ticker"), nb::arg("matcher"), nb::arg("quote_manager"),
        nb::sig("def __init__(self, ticker: Ticker, matcher: object, quote_manager: object) "
                "-> None"));
    cls.def("__call__", &step, nb::sig("def __call__(self) -> dict"));
}

} // namespace quarvel::ticker
