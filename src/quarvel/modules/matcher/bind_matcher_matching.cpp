// Matching one tick against the resting orders of its code. The time-in-force decision is
// the core's; this file reads the live records, applies each decision in place and books
// fills and cancellations into the ledger and the report queue.
#include <cstring>
#include <vector>

#include "_core/input_rules.hpp"
#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/lock.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "core/matching.hpp"
#include "fields.hpp"
#include "records.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

bool py_equals(nb::handle a, nb::handle b) {
    int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal != 0;
}

/// A str equal to `code`, compared without building Python objects; a miss usually costs
/// a length or a cached-hash comparison.
bool same_code(PyObject *value, PyObject *code, Py_hash_t code_hash) {
    if (value == code)
        return true;
    if (!PyUnicode_CheckExact(value))
        return py_equals(value, code);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (length != PyUnicode_GET_LENGTH(code) || PyUnicode_KIND(value) != PyUnicode_KIND(code) ||
        str_hash(value) != code_hash)
        return false;
    return std::memcmp(PyUnicode_DATA(value), PyUnicode_DATA(code),
                       static_cast<size_t>(length) * PyUnicode_KIND(value)) == 0;
}

enum class Presence { None, Some, Unsure };

/// The orders of `code` in the list, collected with the GIL alone. It runs no Python code
/// (plain dicts with plain str codes only), so no other thread can interleave and the
/// answer is exact at this instant; anything irregular answers Unsure.
Presence collect_without_lock(nb::handle orders, nb::handle code, nb::handle key,
                              std::vector<nb::object> &found) {
    if (!PyList_CheckExact(orders.ptr()))
        return Presence::Unsure;
    const Py_ssize_t n = PyList_GET_SIZE(orders.ptr());
    const Py_hash_t code_hash = str_hash(code.ptr()); // the code is a checked str
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *order = PyList_GET_ITEM(orders.ptr(), i);
        if (!PyDict_CheckExact(order))
            return Presence::Unsure;
        PyObject *order_code = PyDict_GetItemWithError(order, key.ptr()); // borrowed
        if (!order_code || !PyUnicode_CheckExact(order_code)) {
            PyErr_Clear();
            return Presence::Unsure;
        }
        if (same_code(order_code, code.ptr(), code_hash))
            found.push_back(nb::borrow(order));
    }
    return found.empty() ? Presence::None : Presence::Some;
}

/// The orders of `code` resting now, in list order; strong references, so the pass visits
/// each exactly once even when orders leave the list during it.
std::vector<nb::object> orders_of_code(nb::handle orders, nb::handle code, nb::handle key) {
    std::vector<nb::object> found;
    nb::list snapshot = nb::list(orders);
    const Py_hash_t code_hash = str_hash(code.ptr());
    for (nb::handle order : snapshot) {
        PyObject *order_code = PyDict_CheckExact(order.ptr())
                                   ? PyDict_GetItemWithError(order.ptr(), key.ptr())
                                   : nullptr;
        if (order_code && PyUnicode_CheckExact(order_code)) {
            if (same_code(order_code, code.ptr(), code_hash))
                found.push_back(nb::borrow(order));
            continue;
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        // Not a plain dict or not a plain str: read it the ordinary way (KeyError if missing).
        if (py_equals(order["code"], code))
            found.push_back(nb::borrow(order));
    }
    return found;
}

core::exchange::RestingOrder read_order(const Fields &f, nb::handle order,
                                        const MatchEnums &enums) {
    nb::object action = item(order, f.action);
    nb::object price = item(order, f.price);
    nb::object order_type = item(order, f.order_type);
    nb::object price_type = item(order, f.price_type);
    core::exchange::RestingOrder r{};
    r.side = py_equals(action, enums.buy_value()) ? core::exchange::Side::Buy
                                                  : core::exchange::Side::Sell;
    r.kind = py_equals(price_type, enums.lmt()) ? core::exchange::PriceKind::Limit
                                                : core::exchange::PriceKind::Market;
    r.limit_price = r.kind == core::exchange::PriceKind::Limit ? float_of(price) : 0.0;
    r.quantity = int64_of(item(order, f.quantity));
    r.tif = py_equals(order_type, enums.rod())   ? core::exchange::TimeInForce::Rod
            : py_equals(order_type, enums.ioc()) ? core::exchange::TimeInForce::Ioc
            : py_equals(order_type, enums.fok()) ? core::exchange::TimeInForce::Fok
                                                 : core::exchange::TimeInForce::Other;
    return r;
}

/// The cancel report of an IOC or FOK order, from a deep copy carrying the tick time and
/// the quantity being cancelled.
nb::object cancel_report(const Fields &f, nb::handle self, nb::handle order, long long quantity,
                         double tick_ts) {
    nb::object product_type = item(order, f.product_type);
    if (!text_equals(product_type, "Stock") && !text_equals(product_type, "Future")) {
        PyErr_SetString(PyExc_ValueError, "不支援的商品類型");
        throw nb::python_error();
    }
    nb::object copy = deep_copy_record(order);
    set_item(copy, f.exchange_ts, nb::float_(tick_ts));
    set_item(copy, f.quantity, nb::int_(quantity));
    return make_order_report(self, copy, f.member(f.OperationType, f.CANCEL),
                             f.member(f.SuccessCode, f.OrderBeCancel));
}

/// A cancel record is stamped with its report's time, the `ts` of the code's current tick.
/// When this tick cancels any order, that time is checked before the first order changes,
/// so a time the journal cannot take fails the whole call instead of half of it.
void check_cancel_stamp(const Fields &f, nb::handle self, nb::handle code,
                        const std::vector<nb::object> &candidates, core::exchange::TickMatcher tick,
                        const MatchEnums &enums) {
    bool cancels = false;
    for (const nb::object &order : candidates) {
        const core::exchange::OrderDecision d = tick.examine(read_order(f, order, enums));
        if (d.stop)
            break;
        if ((cancels = d.cancel_quantity > 0))
            break;
    }
    if (!cancels)
        return;
    nb::object infos = self.attr("current_tick_infos");
    const int known = PySequence_Contains(infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    if (!known)
        return; // no report time: the tick's own time stands in
    nb::object stamp = infos[code]["ts"];
    if (!stamp.is_none())
        core::input_rules::check_tick_time(require_real(stamp, "exchange_ts"));
}

/// ledger.add_trade_record(trade_id=..., code=..., action=..., quantity=..., price=...,
/// timestamp=..., trade_status=...)
void add_trade_record(const Fields &f, nb::handle ledger, nb::handle trade_id, nb::handle code,
                      nb::handle action, nb::handle quantity, nb::handle price,
                      nb::handle timestamp, const char *status) {
    nb::object method = attr_of(ledger, f.add_trade_record);
    nb::str status_text(status);
    nb::object names = nb::make_tuple(f.trade_id, f.code, f.action, f.quantity, f.price,
                                      f.timestamp, f.trade_status);
    PyObject *args[] = {trade_id.ptr(), code.ptr(),      action.ptr(),     quantity.ptr(),
                        price.ptr(),    timestamp.ptr(), status_text.ptr()};
    PyObject *result = PyObject_Vectorcall(method.ptr(), args, 0, names.ptr());
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

/// A fill made ready before the order changes: the deal record and its report, whose
/// conversions are the part that can fail.
struct PreparedFill {
    nb::object deal, report, qty, price, ts;
};

PreparedFill prepare_fill(const Fields &f, nb::handle self, nb::handle order, long long quantity,
                          double close, double tick_ts) {
    PreparedFill fill{deep_copy_record(order), nb::object(), nb::int_(quantity), nb::float_(close),
                      nb::float_(tick_ts)};
    set_item(fill.deal, f.quantity, fill.qty);
    set_item(fill.deal, f.price, fill.price);
    set_item(fill.deal, f.exchange_ts, fill.ts);
    fill.report = make_deal_report(self, fill.deal);
    return fill;
}

void book_fill(const Fields &f, nb::handle self, const PreparedFill &fill) {
    const nb::object &deal = fill.deal;
    nb::object ledger = attr_of(self, f.positions);
    add_trade_record(f, ledger, item(deal, f.trade_id), item(deal, f.code), item(deal, f.action),
                     fill.qty, fill.price, fill.ts, "Deal");
    queue_response(self, fill.report);
    nb::object product_type = item(deal, f.product_type);
    PyObject *args[] = {ledger.ptr(), deal.ptr(), product_type.ptr()};
    PyObject *result = PyObject_VectorcallMethod(f.set_positions.ptr(), args, 3, nullptr);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

void book_cancel(const Fields &f, nb::handle self, nb::handle order, nb::handle report,
                 double tick_ts) {
    nb::object part = item(report, f.order);
    nb::object ts = item(item(report, f.trade_status), f.exchange_ts);
    // A code without current tick info has no report time; the tick's own time stands in.
    if (ts.is_none())
        ts = nb::float_(tick_ts);
    add_trade_record(f, attr_of(self, f.positions), item(order, f.trade_id), item(order, f.code),
                     item(order, f.action), item(part, f.quantity), item(part, f.price), ts,
                     "Cancel");
    queue_response(self, report);
}

void match_deal(nb::handle self, nb::handle code, nb::handle tick_close, nb::handle tick_qty,
                nb::handle tick_ts) {
    require_safe_code(code);
    const double close = require_real(tick_close, "tick_close");
    const long long volume = require_int64(tick_qty, "tick_qty");
    const double ts = require_real(tick_ts, "tick_ts");
    // Refused here, before any order moves: the records and costs made from them must be valid.
    core::input_rules::check_deal_price(close);
    core::input_rules::check_tick_lots(volume);
    core::input_rules::check_tick_time(ts);
    core::exchange::TickMatcher tick(close, volume); // refuses a negative volume before anything
    if (volume == 0)
        return; // a tick without volume touches nothing

    // The common tick has no order of its code: answer that without taking the lock.
    Matcher &state = matcher_state(self);
    const Fields &f = state.fields;
    nb::handle key = f.code;
    nb::object listed = state.pending.get(self, f.pending_orders);
    const std::uint64_t changes_seen = state.list_changes;
    std::vector<nb::object> candidates;
    const Presence presence = collect_without_lock(listed, code, key, candidates);
    if (presence == Presence::None)
        return;

    RLockGuard guard(matcher_lock(self));
    nb::object orders = pending_orders_of(self);
    // Waiting for the lock may have let the receiver change the list: then look again.
    if (presence == Presence::Unsure || !orders.is(listed) || list_changes(self) != changes_seen)
        candidates = orders_of_code(orders, code, key);
    if (candidates.empty())
        return;

    MatchEnums &enums = enums_of(self);
    enums.refresh(f);
    check_cancel_stamp(f, self, code, candidates, tick, enums);
    for (const nb::object &order : candidates) {
        // Skip an order that left the list during this pass (e.g. a ledger callback).
        if (index_of(orders, order) < 0)
            continue;
        const core::exchange::RestingOrder resting = read_order(f, order, enums);
        const core::exchange::OrderDecision d = tick.examine(resting);
        if (d.stop)
            break;
        if (!d.touched)
            continue;

        // Everything that can fail is made before the order's own update.
        nb::object cancel;
        if (d.cancel_quantity > 0)
            cancel = cancel_report(f, self, order, d.cancel_quantity, ts);
        PreparedFill fill;
        if (d.fill_quantity > 0)
            fill = prepare_fill(f, self, order, d.fill_quantity, close, ts);
        // The order's own update comes first, then its fill, then its cancellation.
        if (resting.tif == core::exchange::TimeInForce::Rod)
            set_item(order, f.quantity, nb::int_(d.rest_quantity));
        if (d.remove) {
            remove_record(orders, order);
            note_list_change(self);
        }
        if (fill.deal.is_valid())
            book_fill(f, self, fill);
        if (cancel.is_valid())
            book_cancel(f, self, order, cancel, ts);
    }
}

} // namespace

int match_deal_entry(PyObject *self, const native::ReplayTick &tick) {
    return native::run_entry(
        [&] { match_deal(self, tick.code, tick.close, tick.qty, tick.timestamp); });
}

void register_matching_methods(nb::class_<Matcher> &cls) {
    cls.def("match_deal", &match_deal, nb::arg("code").none(), nb::arg("tick_close").none(),
            nb::arg("tick_qty").none(), nb::arg("tick_ts").none(),
            nb::sig("def match_deal(self, code: str, tick_close: int | float, tick_qty: int, "
                    "tick_ts: int | float) -> None"));
}

} // namespace quarvel::matcher
