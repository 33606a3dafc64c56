// ReplayStep: the driver's per-tick engine work in one native call. Each call releases the
// tick handed out by the previous call (allow_next_tick), takes the next item (pop_tick)
// and, for a tick, runs matcher.set_current_tick, quote_manager.add_tick and
// matcher.match_deal on it, exactly the calls the driver made itself, then polls the bar
// feed when it has one (`closed` holds what the poll returned; a tick at which bars closed
// is returned as (tick, closed)). A method that is still its class's own runs as the entry
// its module publishes (the same work without the method call); one replaced anywhere is
// looked up and called as before, on every tick.
#include "_native/interned.hpp"
#include "_native/replay_entries.hpp"
#include "bindings.hpp"
#include "core/handoff_queue.hpp"
#include "playback_ports.hpp"
#include "tick_source.hpp"

namespace quarvel::ticker {

namespace {

// clang-format off
#define QV_STEP_NAMES(X)                                                                       \
    X(pop_tick) X(allow_next_tick) X(set_current_tick) X(add_tick) X(match_deal) X(poll)
// clang-format on

/// The method names the step calls; the tick's keys are the module's TickerKeys.
struct StepNames {
    QV_STEP_NAMES(QV_INTERNED_KEY)
    QV_INTERNED_TEXT(status, "orva_status")
};

struct ReplayStep {
    nb::object ticker, matcher, quote_manager;
    bool owes_token = false;  // the last item handed out was a tick not yet released
    Ticker *native = nullptr; // set when the Ticker's own pop_tick and allow_next_tick apply
    const native::ExchangeReplayEntries *exchange = nullptr;
    const native::LedgerReplayEntries *ledger = nullptr;
    nb::object bar_feed; // polled after each tick when given
    nb::object closed;   // what the last poll returned
    native::OwnCheck own_set_current_tick, own_add_tick, own_match_deal, own_poll;
    // The Ticker's native queues as last read (held, so the pointers stay valid), and the
    // Ticker's stamp then.
    std::pair<nb::object, nb::object> held_queues;
    PyHandoffQueue *tokens = nullptr, *queue = nullptr;
    native::ObjectStamp ticker_stamp;
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

nb::object call(nb::handle target, nb::handle method, std::initializer_list<PyObject *> args) {
    PyObject *argv[5] = {target.ptr()};
    std::size_t n = 1;
    for (PyObject *arg : args)
        argv[n++] = arg;
    PyObject *out =
        PyObject_VectorcallMethod(method.ptr(), argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!out)
        throw nb::python_error();
    return nb::steal(out);
}

/// tick[key], or KeyError(key) as the driver's own subscript raised it.
PyObject *item(nb::handle tick, nb::handle key) {
    PyObject *value = PyDict_GetItemWithError(tick.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    return value;
}

/// The tick's values for the entries: as the queue made the dict, or read from it once.
/// Read again (and held) after a replaced method ran, which may have changed the dict.
class TickValues {
  public:
    /// `made`: the values as the dict was made (its `dict` null when not known).
    TickValues(nb::handle tick, const native::ReplayTick &made)
        : tick_(tick), view_(made), fresh_(made.dict != nullptr) {}

    /// The values, or nullptr when the tick lacks one (the methods then raise as before).
    const native::ReplayTick *get() {
        if (!fresh_ && !read())
            return nullptr;
        return &view_;
    }
    void stale() { fresh_ = false; }

  private:
    bool read() {
        const TickerKeys &k = native::interned<TickerKeys>();
        const nb::handle keys[] = {k.market_type, k.timestamp, k.code,       k.close,
                                   k.qty,         k.tick_type, k.is_simulate};
        for (std::size_t i = 0; i < std::size(keys); ++i) {
            PyObject *value = PyDict_GetItemWithError(tick_.ptr(), keys[i].ptr());
            if (!value) {
                PyErr_Clear();
                return false;
            }
            held_[i] = nb::borrow(value);
        }
        view_ = {tick_.ptr(),    held_[0].ptr(), held_[1].ptr(), held_[2].ptr(),
                 held_[3].ptr(), held_[4].ptr(), held_[5].ptr(), held_[6].ptr()};
        fresh_ = true;
        return true;
    }

    nb::handle tick_;
    nb::object held_[7];
    native::ReplayTick view_;
    bool fresh_;
};

/// Runs `entry` on `target` when the method is the class's own; false when it must be
/// called as a method instead.
bool entry_ran(nb::handle target, const native::ReplayEntry *entry, native::OwnCheck &own,
               TickValues &values) {
    if (!entry || !own(target.ptr(), *entry))
        return false;
    const native::ReplayTick *tick = values.get();
    if (!tick)
        return false;
    const int done = entry->call(target.ptr(), *tick);
    if (done < 0)
        throw nb::python_error();
    if (done == native::kEntryCalledOut)
        values.stale();
    return true;
}

nb::object step(ReplayStep &s) {
    const StepNames &n = native::interned<StepNames>();
    const TickerKeys &k = native::interned<TickerKeys>();
    // The Ticker's two queues, read again whenever one of its attributes may have changed.
    const native::ObjectStamp stamp = native::object_stamp(s.ticker.ptr());
    if (!s.native) {
        s.tokens = s.queue = nullptr;
    } else if (!(stamp == s.ticker_stamp)) {
        nb::object tokens = s.ticker.attr(k.allow_next_tick_flag_queue);
        nb::object queue = s.ticker.attr(k.tick_queue);
        const bool native = is_native_queue(tokens) && is_native_queue(queue);
        s.tokens = native ? &nb::cast<PyHandoffQueue &>(tokens) : nullptr;
        s.queue = native ? &nb::cast<PyHandoffQueue &>(queue) : nullptr;
        s.held_queues = {tokens, queue};
        s.ticker_stamp = native::object_stamp(s.ticker.ptr());
    }
    const bool native = s.queue != nullptr;
    if (s.owes_token) {
        s.owes_token = false;
        if (native)
            s.tokens->native().put({core::ticker::ItemKind::Token, 0, {}});
        else
            call(s.ticker, n.allow_next_tick, {});
    }
    native::ReplayTick made{};
    nb::object tick =
        native ? s.queue->get(true, nb::none(), &made) : call(s.ticker, n.pop_tick, {});
    // Status markers (end of stream, end of backfilling) go back to the driver as they are;
    // a dict the queue made from a row is a tick.
    if (!made.dict) {
        if (!PyDict_Check(tick.ptr()))
            return tick;
        PyObject *status = PyDict_GetItemWithError(tick.ptr(), n.status.ptr());
        if (status || PyErr_Occurred()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return tick;
        }
    }
    s.owes_token = true;
    // Entries for a plain dict only: a subclass may read its items its own way.
    const bool plain = PyDict_CheckExact(tick.ptr());
    const native::ExchangeReplayEntries *exchange = plain ? s.exchange : nullptr;
    const native::LedgerReplayEntries *ledger = plain ? s.ledger : nullptr;
    TickValues values(tick, made);
    if (!entry_ran(s.matcher, exchange ? &exchange->set_current_tick : nullptr,
                   s.own_set_current_tick, values)) {
        values.stale();
        call(s.matcher, n.set_current_tick, {tick.ptr()});
    }
    if (!entry_ran(s.quote_manager, ledger ? &ledger->add_tick : nullptr, s.own_add_tick, values)) {
        values.stale();
        call(s.quote_manager, n.add_tick, {tick.ptr()});
    }
    if (!entry_ran(s.matcher, exchange ? &exchange->match_deal : nullptr, s.own_match_deal, values))
        call(s.matcher, n.match_deal,
             {item(tick, k.code), item(tick, k.close), item(tick, k.qty), item(tick, k.timestamp)});
    if (s.bar_feed.is_valid()) {
        s.closed = nb::object();
        if (s.ledger && s.own_poll(s.bar_feed.ptr(), s.ledger->poll_bars)) {
            PyObject *closed = s.ledger->poll_bars.call(s.bar_feed.ptr());
            if (!closed)
                throw nb::python_error();
            s.closed = nb::steal(closed);
        } else {
            s.closed = call(s.bar_feed, n.poll, {});
        }
        // Bars closed: handed over with the tick, so the driver reads no attribute on the
        // ticks (nearly all) at which none did.
        if (!s.closed.is_none())
            return nb::make_tuple(tick, s.closed);
    }
    return tick;
}

/// ReplayStep() as the type's own call slot: a call per tick without the method look-up
/// and argument dispatch a __call__ method costs.
PyObject *call_step(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ReplayStep.__call__() takes no arguments");
        return nullptr;
    }
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "ReplayStep was not initialised");
        return nullptr;
    }
    PyObject *out = nullptr;
    const int failed =
        native::run_entry([&] { out = step(*nb::inst_ptr<ReplayStep>(self)).release().ptr(); });
    return failed ? nullptr : out;
}

PyType_Slot step_slots[] = {{Py_tp_call, reinterpret_cast<void *>(call_step)}, {0, nullptr}};

} // namespace

void bind_replay_step(nb::module_ &m) {
    nb::class_<ReplayStep> cls(m, "ReplayStep", nb::type_slots(step_slots));
    cls.doc() = "One call per tick: release the last tick, take the next and run the "
                "exchange's and the quote store's per-tick calls on it.";
    cls.def(
        "__init__",
        [](ReplayStep *s, nb::handle ticker, nb::handle matcher, nb::handle quote_manager,
           nb::handle bar_feed) {
            new (s) ReplayStep{};
            s->ticker = nb::borrow(ticker);
            s->matcher = nb::borrow(matcher);
            s->quote_manager = nb::borrow(quote_manager);
            s->native = own_playback(ticker);
            s->exchange = native::find_entries<native::ExchangeReplayEntries>(
                native::kExchangeEntriesCapsule);
            s->ledger =
                native::find_entries<native::LedgerReplayEntries>(native::kLedgerEntriesCapsule);
            if (!bar_feed.is_none())
                s->bar_feed = nb::borrow(bar_feed);
        },
        nb::arg("ticker"), nb::arg("matcher"), nb::arg("quote_manager"),
        nb::arg("bar_feed").none() = nb::none(),
        nb::sig("def __init__(self, ticker: Ticker, matcher: object, quote_manager: object, "
                "bar_feed: object | None = None) -> None"));
    cls.def_prop_ro(
        "closed", [](const ReplayStep &s) { return s.closed.is_valid() ? s.closed : nb::none(); },
        nb::sig("def closed(self) -> list | None"),
        "What bar_feed.poll() returned after the last tick: the bars that closed, or None.");
}

} // namespace quarvel::ticker
