// The Positions class: a plain Python-shaped class whose state lives in its instance
// __dict__, created by the constructor in the documented order.
#include "_native/pyns.hpp"
#include "account.hpp"
#include "bindings.hpp"

namespace quarvel::positions {

namespace {

void init_positions(nb::handle self) {
    nb::object queue = native::module_attr(kModule, "queue");
    self.attr("positions") = nb::dict();
    self.attr("trade_records") = nb::list();
    self.attr("product_type_mapper") = nb::dict();
    self.attr("current_tick_infos") = nb::dict();
    self.attr("fetch_position_queue") = queue.attr("Queue")();
    self.attr("finish_fetch_position_queue") = queue.attr("Queue")();
    self.attr("wait_fetch_position_response_flag") = false;
    self.attr("initial_capital") = kInitialCapital;
    self.attr("current_capital") = self.attr("initial_capital");
    nb::dict profit_report;
    profit_report["profit"] = 0;
    profit_report["rows"] = nb::list();
    self.attr("_profit_report") = profit_report;
    self.attr("_fee_settings") = make_fee_settings(0);
    self.attr("_account_infos") = nb::dict();
}

} // namespace

void bind_positions(nb::module_ &m) {
    nb::class_<Positions> cls(m, "Positions", nb::dynamic_attr());
    cls.def(
        "__init__",
        [](Positions *p) {
            new (p) Positions();
            init_positions(nb::find(p));
        },
        nb::sig("def __init__(self) -> None"));
    register_account_methods(cls);
    register_ledger_methods(cls);
    register_report_methods(cls);
}

} // namespace quarvel::positions
