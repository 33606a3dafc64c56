// Buying power at order intake: when the account's market rules find that an order needs
// more cash or margin than is available, the exchange refuses it with a rejection report
// and the order never rests. Under the default rules the account never refuses.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/records.hpp"
#include "bindings.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

/// format(value, ",.0f"): whole currency with thousands separators.
std::string money(nb::handle value) {
    PyObject *text = PyObject_Format(value.ptr(), nb::str(",.0f").ptr());
    if (!text)
        throw nb::python_error();
    return utf8(nb::steal(text));
}

} // namespace

bool refuse_beyond_buying_power(nb::handle self, nb::handle record) {
    const MatcherKeys &k = interned<MatcherKeys>();
    nb::object check = nb::getattr(self.attr(k.positions), k.check_buying_power, nb::none());
    if (check.is_none())
        return false; // an account object without buying power: accepts everything
    nb::object shortfall = check(record);
    if (shortfall.is_none())
        return false;

    nb::object refused = enum_member("SuccessCode", "InsufficientFunds");
    std::string message = utf8(refused.attr("message")) + ", 需要 " + money(shortfall["required"]) +
                          ", 可用 " + money(shortfall["available"]) + ", 不足 " +
                          money(shortfall["shortfall"]);
    nb::object report =
        make_order_report(self, record, enum_member("OperationType", "REJECT"), refused);
    set_item(report, k.operation_message, nb::str(message.c_str(), message.size()));
    queue_response(self, report);
    print_line("[red]委託單 " + py_str(item(record, k.trade_id)) + " " + message + "[/red]");
    return true;
}

} // namespace quarvel::matcher
