// The Matcher class: its attributes, the current tick per code, the report queue and the
// order identifiers. State lives in the instance __dict__, set in the documented order.
#include "_native/args.hpp"
#include "_native/lock.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

constexpr const char *kAccountId = "BT-00001";
constexpr const char *kExchangeName = "ORVA Backtest Exchange";
constexpr int kIdentifierLength = 16;

nb::dict new_tick_info() {
    nb::dict info;
    info["ts"] = nb::none();
    info["tick"] = nb::none();
    return info;
}

void init_matcher(nb::handle self, nb::handle positions) {
    nb::object queue = module_global("queue");
    self.attr("pending_orders") = nb::list();
    self.attr("response_queue") = queue.attr("Queue")();
    self.attr("pending_order_queue") = queue.attr("Queue")();
    self.attr("current_tick_infos") = nb::dict();
    self.attr("positions") =
        truthy(positions) ? nb::borrow(positions) : module_global("Positions")();
    nb::dict account_info;
    account_info["account_id"] = kAccountId;
    self.attr("account_info") = account_info;
    nb::dict exchange_info;
    exchange_info["name"] = kExchangeName;
    self.attr("exchange_info") = exchange_info;

    // Only this local refers to the thread; being a daemon it ends with the process.
    nb::object receiver = self.attr(QV_PRIVATE(Matcher, receive_pending_order));
    nb::object thread =
        module_global("Thread")(nb::arg("target") = receiver, nb::arg("daemon") = true);
    thread.attr("start")();
}

/// set_current_tick's work; `known` holds the tick's code and timestamp when the replay
/// step read them already, and the ledger's own set_current_tick then runs as its entry.
int store_current_tick(nb::handle self, nb::handle tick, const native::ReplayTick *known,
                       const native::LedgerReplayEntries *ledger) {
    // Runs on every tick: interned names (kept for the life of the process), plain calls.
    static PyObject *const infos_name = PyUnicode_InternFromString("current_tick_infos"),
                           *const code_key = PyUnicode_InternFromString("code"),
                           *const tick_key = PyUnicode_InternFromString("tick"),
                           *const ts_key = PyUnicode_InternFromString("timestamp"),
                           *const info_ts_key = PyUnicode_InternFromString("ts"),
                           *const positions_name = PyUnicode_InternFromString("positions"),
                           *const set_name = PyUnicode_InternFromString("set_current_tick");
    Matcher &state = matcher_state(self);
    RLockGuard guard(state.lock);
    nb::object infos = state.tick_infos.get(self, nb::handle(infos_name));
    nb::object code = known ? nb::borrow(known->code) : nb::object(tick[nb::handle(code_key)]);
    nb::object info;
    if (PyDict_CheckExact(infos.ptr())) { // one look-up where a plain dict answers both
        info = nb::borrow(PyDict_GetItemWithError(infos.ptr(), code.ptr()));
        if (!info.is_valid() && PyErr_Occurred())
            throw nb::python_error();
    }
    if (!info.is_valid()) {
        const int found = PySequence_Contains(infos.ptr(), code.ptr());
        if (found < 0)
            throw nb::python_error();
        if (!found)
            infos[code] = new_tick_info();
        info = infos[code];
    }
    // The tick first: a tick without a timestamp is stored before the KeyError.
    set_item(info, tick_key, tick);
    set_item(info, info_ts_key,
             known ? nb::borrow(known->timestamp) : nb::object(tick[nb::handle(ts_key)]));
    nb::object positions = state.ledger.get(self, nb::handle(positions_name));
    static native::OwnCheck own_positions_tick; // used with the GIL held
    if (known && ledger &&
        own_positions_tick(positions.ptr(), ledger->positions_set_current_tick)) {
        const int done = ledger->positions_set_current_tick.call(positions.ptr(), *known);
        if (done < 0)
            throw nb::python_error();
        return done;
    }
    PyObject *done = PyObject_CallMethodOneArg(positions.ptr(), set_name, tick.ptr());
    if (!done)
        throw nb::python_error();
    Py_DECREF(done);
    return native::kEntryCalledOut;
}

void set_current_tick(nb::handle self, nb::handle tick) {
    require_dict(tick, "tick");
    store_current_tick(self, tick, nullptr, nullptr);
}

} // namespace

int set_current_tick_entry(PyObject *self, const native::ReplayTick &tick,
                           const native::LedgerReplayEntries *ledger) {
    return native::run_entry([&] { return store_current_tick(self, tick.dict, &tick, ledger); });
}

Matcher &matcher_state(nb::handle self) {
    if (!nb::isinstance<Matcher>(self))
        raise_arg_type("self", "Matcher", self);
    return *nb::inst_ptr<Matcher>(self);
}

nb::handle matcher_lock(nb::handle self) {
    return matcher_state(self).lock;
}

std::shared_ptr<ReceiverParking> parking_of(nb::handle self) {
    return matcher_state(self).parking;
}

void note_list_change(nb::handle self) {
    ++matcher_state(self).list_changes;
}

std::uint64_t list_changes(nb::handle self) {
    return matcher_state(self).list_changes;
}

MatchEnums &enums_of(nb::handle self) {
    return matcher_state(self).enums;
}

const Fields &fields_of(nb::handle self) {
    return matcher_state(self).fields;
}

void queue_response(nb::handle self, nb::handle response) {
    const Fields &f = fields_of(self);
    nb::object queue = attr_of(self, f.response_queue);
    PyObject *args[] = {queue.ptr(), response.ptr()};
    PyObject *result = PyObject_VectorcallMethod(f.put.ptr(), args, 2, nullptr);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

void bind_matcher(nb::module_ &m) {
    nb::class_<Matcher> cls(m, "Matcher", nb::dynamic_attr());
    cls.def(
        "__init__",
        [](Matcher *p, nb::handle positions) {
            new (p) Matcher{module_attr("threading", "RLock")(), Fields(loaded_module(kModule)),
                            std::make_shared<ReceiverParking>(), MatchEnums(), 0};
            nb::handle self = nb::find(p);
            register_parking_at_exit(self, p->parking);
            init_matcher(self, positions);
        },
        nb::arg("positions").none() = nb::none(),
        nb::sig("def __init__(self, positions: Positions | None = None) -> None"));

    cls.def(
        QV_PRIVATE(Matcher, init_current_tick_info),
        [](nb::handle, nb::handle code) {
            require_str(code, "code");
            return new_tick_info();
        },
        nb::arg("code").none(),
        nb::sig("def _Matcher__init_current_tick_info(self, code: str) -> dict"));

    cls.def(
        QV_PRIVATE(Matcher, get_random_uuid),
        [](nb::handle) { return module_global("generate")(nb::arg("size") = kIdentifierLength); },
        nb::sig("def _Matcher__get_random_uuid(self) -> str"));

    cls.def(
        "reset_tick_infos",
        [](nb::handle self) {
            RLockGuard guard(matcher_lock(self));
            self.attr("current_tick_infos") = nb::dict();
        },
        nb::sig("def reset_tick_infos(self) -> None"));

    cls.def("set_current_tick", &set_current_tick, nb::arg("tick").none(),
            nb::sig("def set_current_tick(self, tick: dict) -> None"));

    cls.def(
        "add_response_to_queue",
        [](nb::handle self, nb::handle response) {
            require_dict(response, "response");
            queue_response(self, response);
        },
        nb::arg("response").none(),
        nb::sig("def add_response_to_queue(self, response: dict) -> None"));

    // Lock not held while waiting: Queue.get releases the GIL until a report arrives.
    cls.def(
        "pop_response", [](nb::handle self) { return self.attr("response_queue").attr("get")(); },
        nb::sig("def pop_response(self) -> dict"));

    register_report_methods(cls);
    register_order_methods(cls);
    register_matching_methods(cls);
    register_receiver_methods(cls);
}

} // namespace quarvel::matcher
