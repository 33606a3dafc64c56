// Ledger methods of Positions: the trade-record journal, and the registration of the
// price, cover and book method groups.
#include <optional>

#include "_native/args.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "_native/text_args.hpp"
#include "core/local_time.hpp"
#include "ledger.hpp"
#include "ledger_keys.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

constexpr const char *kRecordTimeFormat = "%Y-%m-%d %H:%M:%S.%f";

std::optional<core::quotes::SplitTime> split_time(nb::handle timestamp) {
    if (PyFloat_CheckExact(timestamp.ptr()))
        return core::quotes::split_timestamp(PyFloat_AS_DOUBLE(timestamp.ptr()));
    int overflow = 0;
    long long seconds = PyLong_AsLongLongAndOverflow(timestamp.ptr(), &overflow);
    if (seconds == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow)
        return std::nullopt;
    return core::quotes::SplitTime{seconds, 0};
}

/// datetime.fromtimestamp(timestamp).strftime(...) for a real-number timestamp.
nb::str local_datetime_text(nb::handle timestamp) {
    if (std::optional<core::quotes::SplitTime> split = split_time(timestamp))
        if (std::optional<std::string> text = core::quotes::format_local_datetime(*split))
            return nb::str(text->c_str(), text->size());
    // Far-off or invalid times: the interpreter converts them, or raises its own error.
    nb::object datetime_class = module_attr(kModule, "datetime").attr("datetime");
    return nb::str(
        datetime_class.attr("fromtimestamp")(timestamp).attr("strftime")(kRecordTimeFormat));
}

nb::dict make_trade_record(nb::handle, nb::handle trade_id, nb::handle code, nb::handle action,
                           nb::handle quantity, nb::handle price, nb::handle timestamp,
                           nb::handle trade_status) {
    require_str(trade_id, "trade_id");
    require_str(code, "code");
    require_int(quantity, "quantity");
    double price_value = require_real(price, "price");
    require_real(timestamp, "timestamp");
    require_encodable(trade_id, "trade_id");
    require_encodable(code, "code");
    require_encodable(action, "action");
    require_encodable(trade_status, "trade_status");
    nb::str dt = local_datetime_text(timestamp);

    const LedgerKeys &k = ledger_keys();
    nb::dict record = presized_dict(7);
    set_item(record, k.trade_id, trade_id);
    set_item(record, k.code, code);
    set_item(record, k.action, action);
    set_item(record, k.quantity, quantity);
    set_item(record, k.price, nb::float_(price_value));
    set_item(record, k.dt, dt);
    set_item(record, k.trade_status, trade_status);
    return record;
}

void add_trade_record(nb::handle self, nb::handle trade_id, nb::handle code, nb::handle action,
                      nb::handle quantity, nb::handle price, nb::handle timestamp,
                      nb::handle trade_status) {
    nb::dict record =
        make_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status);
    append(self.attr(ledger_keys().trade_records), record);
}

constexpr const char *kTradeRecordArgs =
    "trade_id: str, code: str, action: str, quantity: int, price: int | float, "
    "timestamp: int | float, trade_status: str";

} // namespace

void register_ledger_methods(nb::class_<Positions> &cls) {
    register_price_methods(cls);
    register_cover_methods(cls);
    register_book_methods(cls);
    register_rules_methods(cls);

    static const std::string make_sig =
        std::string("def _Positions__make_trade_record(self, ") + kTradeRecordArgs + ") -> dict";
    static const std::string add_sig =
        std::string("def add_trade_record(self, ") + kTradeRecordArgs + ") -> None";
    cls.def(QV_PRIVATE(Positions, make_trade_record), &make_trade_record,
            nb::arg("trade_id").none(), nb::arg("code").none(), nb::arg("action").none(),
            nb::arg("quantity").none(), nb::arg("price").none(), nb::arg("timestamp").none(),
            nb::arg("trade_status").none(), nb::sig(make_sig.c_str()));
    // None reaches the checks, which name the argument; action and status are stored as given.
    cls.def("add_trade_record", &add_trade_record, nb::arg("trade_id").none(),
            nb::arg("code").none(), nb::arg("action").none(), nb::arg("quantity").none(),
            nb::arg("price").none(), nb::arg("timestamp").none(), nb::arg("trade_status").none(),
            nb::sig(add_sig.c_str()));
}

} // namespace quarvel::positions
