// The receiver thread: takes requests from `pending_order_queue` one at a time and runs
// them as add_order, modify_order or cancel_order. A failing request is reported and the
// thread goes on with the next one.
#include "_native/lock.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "guard.hpp"
#include "records.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

void print(const std::string &text) {
    print_line(text);
}

/// The payload's value under `key`, None when absent.
nb::object optional_item(nb::handle payload, const char *key) {
    return payload.attr("get")(key);
}

/// Runs one request through the public methods, so a subclass's overrides are honoured.
/// Holds the lock for the whole request; the methods take it again (it is reentrant).
void execute(nb::handle self, nb::handle request) {
    RLockGuard guard(matcher_lock(self));
    nb::object action = request["action"];
    nb::object payload = request["payload"];
    if (text_equals(action, "add")) {
        // `**payload`: any mapping becomes a fresh dict of keyword arguments.
        nb::dict kwargs;
        if (PyDict_Update(kwargs.ptr(), payload.ptr()) < 0)
            throw nb::python_error();
        PyObject *result =
            PyObject_Call(self.attr("add_order").ptr(), nb::tuple().ptr(), kwargs.ptr());
        if (!result)
            throw nb::python_error();
        Py_DECREF(result);
    } else if (text_equals(action, "modify")) {
        nb::object trade_id = payload["trade_id"];
        self.attr("modify_order")(trade_id, optional_item(payload, "qty"),
                                  optional_item(payload, "price"));
    } else if (text_equals(action, "cancel")) {
        self.attr("cancel_order")(payload["trade_id"]);
    } else {
        print("[red]不支援的操作: " + py_str(action) + "[/red]");
    }
}

/// Marks the receiver as serving for as long as the loop runs.
struct Serving {
    std::shared_ptr<ReceiverParking> parking;
    explicit Serving(std::shared_ptr<ReceiverParking> p) : parking(std::move(p)) {
        parking->set_running(true);
    }
    ~Serving() { parking->set_running(false); }
    Serving(const Serving &) = delete;
    Serving &operator=(const Serving &) = delete;
};

void receive_pending_order(nb::handle self) {
    Serving serving(parking_of(self));
    ReceiverParking &parking = *serving.parking;
    for (;;) {
        if (parking.closing())
            parking.park();
        // Lock not held while waiting: Queue.get releases the GIL until a request arrives.
        nb::object request = self.attr("pending_order_queue").attr("get")();
        if (parking.closing())
            parking.park();
        auto error = run_guarded([&] { execute(self, request); });
        if (!error)
            continue;
        // Reporting must not end the thread either: a failing console or logger is dropped.
        run_guarded([&] {
            print("[red]接收委託單失敗: " + error->text + "[/red]");
            nb::dict data;
            data["info"] = request;
            log_error_record(kModule, error->text, error->traceback, data);
        });
    }
}

} // namespace

void register_receiver_methods(nb::class_<Matcher> &cls) {
    cls.def(QV_PRIVATE(Matcher, receive_pending_order), &receive_pending_order,
            nb::sig("def _Matcher__receive_pending_order(self) -> None"));
}

} // namespace quarvel::matcher
