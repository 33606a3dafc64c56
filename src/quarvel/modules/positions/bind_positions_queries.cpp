// Position queries: the asynchronous hand-shake through the position queue and the
// completion-notice queue, as the live broker's position requests behave.
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "reports.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

void add_positions_to_queue(nb::handle self, nb::handle positions) {
    if (!PyList_Check(positions.ptr()) && !PyDict_Check(positions.ptr()))
        raise_exception("不支援的持有部位格式: " + py_str(nb::handle(Py_TYPE(positions.ptr()))));
    self.attr("fetch_position_queue").attr("put")(positions);
}

void fetch_positions(nb::handle self, nb::handle account_type, nb::handle fetch_detail) {
    require_bool(fetch_detail, "fetch_detail");
    // Compared as text, so an enumeration member whose text is "Stock" is accepted; the
    // formatters then get that plain text, as they take an exact str.
    nb::str kind = nb::str(account_type);
    if (!kind.equal(nb::str("Stock")) && !kind.equal(nb::str("Future")))
        raise_exception("不支援的帳戶類型: " + py_str(kind));
    nb::object rows = fetch_detail.is(nb::handle(Py_True))
                          ? self.attr(QV_PRIVATE(Positions, format_position_detail))(kind)
                          : self.attr(QV_PRIVATE(Positions, format_position_summary))(kind);
    self.attr("add_positions_to_queue")(rows);
}

// GIL held on entry: queue.Queue.get releases it while it waits, and no lock of ours is held.
nb::object pop_positions(nb::handle self) {
    return self.attr("fetch_position_queue").attr("get")();
}

nb::object pop_finish_notify(nb::handle self) {
    // Waits like pop_positions: the GIL is released inside Queue.get.
    nb::object notice = self.attr("finish_fetch_position_queue").attr("get")();
    self.attr("wait_fetch_position_response_flag") = false;
    return notice;
}

} // namespace

void register_query_methods(nb::class_<Positions> &cls) {
    cls.def("fetch_positions", &fetch_positions, nb::arg("account_type"),
            nb::arg("fetch_detail") = false,
            nb::sig("def fetch_positions(self, account_type: typing.Literal['Stock', 'Future'], "
                    "fetch_detail: bool = False) -> None"));
    cls.def("add_positions_to_queue", &add_positions_to_queue, nb::arg("positions"),
            nb::sig("def add_positions_to_queue(self, positions: list | dict) -> None"));
    cls.def("pop_positions", &pop_positions, nb::sig("def pop_positions(self) -> list | dict"));
    cls.def(
        "add_finish_notify_to_queue",
        [](nb::handle self) { self.attr("finish_fetch_position_queue").attr("put")(true); },
        nb::sig("def add_finish_notify_to_queue(self) -> None"));
    cls.def("pop_finish_notify", &pop_finish_notify,
            nb::sig("def pop_finish_notify(self) -> bool"));
}

} // namespace quarvel::positions
