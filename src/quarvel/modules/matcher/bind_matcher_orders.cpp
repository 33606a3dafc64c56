// Order intake: add, modify and cancel resting orders, and queue requests for the
// receiver thread. Each operation holds the matcher's lock for its whole duration.
#include "_core/input_rules.hpp"
#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/lock.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "core/order_rules.hpp"
#include "guard.hpp"
#include "records.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

/// Which of add_order's frozen defaults are None: only those arguments accept None.
struct NoneDefaults {
    bool order_cond, order_lot, oc_type;
};

nb::object frozen_default(const char *enum_name, const char *member) {
    nb::object value = enum_member(enum_name, member).attr("value");
    if (PyUnicode_CheckExact(value.ptr()) || value.is_none())
        return value;
    // The extension's import turns this into an ImportError whose cause is the TypeError.
    std::string message = std::string(enum_name) + "." + member +
                          ".value must be str or None, not " + Py_TYPE(value.ptr())->tp_name;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

void print(const std::string &text) {
    print_line(text);
}

/// The resting order `trade_id`; when there is none, says so and returns an empty object.
nb::object find_order_or_say_missing(nb::handle orders, nb::handle trade_id) {
    nb::object order = find_order(orders, trade_id);
    if (!order.is_valid())
        print("[red]委託單 " + utf8(trade_id) + " 不存在[/red]");
    return order;
}

/// Whether the record's price type is PriceType.LMT, the one type whose price is used.
bool is_limit_order(nb::handle record) {
    nb::object price_type = nb::borrow<nb::dict>(record)["price_type"];
    const int equal =
        PyObject_RichCompareBool(price_type.ptr(), enum_member("PriceType", "LMT").ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal != 0;
}

nb::object new_identifier() {
    return module_global("generate")(nb::arg("size") = 16);
}

/// The order record, keys in their documented order; values computed in that order. The
/// keys are interned strings, so look-ups with the same names hit on identity.
nb::dict make_order_record(nb::handle self, nb::handle code, nb::handle product_type, bool is_stock,
                           nb::handle action, double price, nb::handle qty, nb::handle price_type,
                           nb::handle order_type, nb::handle order_cond, nb::handle order_lot,
                           nb::handle oc_type) {
    nb::object create = enum_member("SuccessCode", "CreateOrder");
    const MatcherKeys &k = interned<MatcherKeys>();
    nb::dict r;
    set_item(r, k.operation_type, nb::str("New"));
    set_item(r, k.operation_code, create.attr("code"));
    set_item(r, k.operation_message, create.attr("message"));
    set_item(r, k.trade_id, new_identifier());
    set_item(r, k.account_id, self.attr("account_info")["account_id"]);
    set_item(r, k.code, nb::borrow(code));
    set_item(r, k.product_type, nb::borrow(product_type));
    set_item(r, k.action, module_global("Action").attr("from_value")(action));
    set_item(r, k.price, nb::float_(price));
    set_item(r, k.quantity, nb::borrow(qty));
    set_item(r, k.price_type, module_global("PriceType").attr("from_value")(price_type));
    set_item(r, k.order_type, module_global("OrderType").attr("from_value")(order_type));
    nb::object infos = self.attr("current_tick_infos");
    int known = PySequence_Contains(infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    set_item(r, k.exchange_ts, known ? nb::object(infos[code]["ts"]) : nb::none());
    if (is_stock) {
        set_item(r, k.order_cond, module_global("OrderCond").attr("from_value")(order_cond));
        set_item(r, k.order_lot, module_global("OrderLot").attr("from_value")(order_lot));
    } else {
        set_item(r, k.oc_type, module_global("OCType").attr("from_value")(oc_type));
    }
    return r;
}

void add_order(nb::handle self, nb::handle code, nb::handle product_type, nb::handle action,
               nb::handle price, nb::handle qty, nb::handle price_type, nb::handle order_type,
               nb::handle order_cond, nb::handle order_lot, nb::handle oc_type,
               NoneDefaults none_ok) {
    require_str(code, "code");
    require_str(product_type, "product_type");
    require_str(action, "action");
    const double price_value = require_real(price, "price");
    const long long quantity = require_int64(qty, "qty");
    require_str(price_type, "price_type");
    require_str(order_type, "order_type");
    // None is accepted only where the frozen default itself is None.
    require_str(order_cond, "order_cond", none_ok.order_cond);
    require_str(order_lot, "order_lot", none_ok.order_lot);
    require_str(oc_type, "oc_type", none_ok.oc_type);
    const std::string product = utf8_text(product_type);
    switch (core::exchange::check_new_order(quantity, product)) {
    case core::exchange::NewOrderCheck::QuantityNotPositive:
        raise_value_error("委託數量 " + py_int(quantity) + " 必須大於 0");
    case core::exchange::NewOrderCheck::QuantityAboveLimit:
        core::input_rules::refuse(core::input_rules::kOrderLotsLabel, std::to_string(quantity));
    case core::exchange::NewOrderCheck::UnknownProduct:
        raise_value_error("不支援的商品類型: " + utf8(product_type));
    case core::exchange::NewOrderCheck::Accepted:
        break;
    }
    require_safe_code(code);
    const bool is_stock =
        core::exchange::product_type_of(product) == core::exchange::ProductType::Stock;

    RLockGuard guard(matcher_lock(self));
    nb::dict record =
        make_order_record(self, code, product_type, is_stock, action, price_value, qty, price_type,
                          order_type, order_cond, order_lot, oc_type);
    core::input_rules::check_limit_price(price_value, is_limit_order(record));
    if (refuse_beyond_buying_power(self, record))
        return;
    // From here on the order rests, whatever happens to its report.
    pending_orders_of(self).attr("append")(record);
    note_list_change(self);

    auto error = run_guarded([&] {
        nb::object report = make_order_report(self, record, enum_member("OperationType", "NEW"),
                                              enum_member("SuccessCode", "CreateOrder"));
        queue_response(self, report);
        print("[green]新增委託單 " + py_str(record["trade_id"]) + " 成功[/green]");
    });
    if (!error)
        return;
    nb::dict data;
    data["code"] = code;
    data["product_type"] = product_type;
    data["action"] = action;
    data["price"] = price_value;
    data["qty"] = qty;
    data["price_type"] = price_type;
    data["order_type"] = order_type;
    data["order_cond"] = order_cond;
    data["order_lot"] = order_lot;
    data["oc_type"] = oc_type;
    log_error_record(kModule, error->text, error->traceback, data);
    print("[red]發生錯誤: " + error->text + "[/red]");
}

void modify_order(nb::handle self, nb::handle trade_id, nb::handle qty, nb::handle price) {
    require_str(trade_id, "trade_id");
    require_int(qty, "qty", true);
    require_float(price, "price", true);
    const long long cut = qty.is_none() ? 0 : require_int64(qty, "qty");
    const double new_price = price.is_none() ? 0.0 : PyFloat_AS_DOUBLE(price.ptr());
    switch (core::exchange::check_modify(cut, new_price)) {
    case core::exchange::ModifyCheck::NothingToChange:
        raise_value_error("請至少提供數量或價格來修改委託單 " + utf8(trade_id));
    case core::exchange::ModifyCheck::NegativeCut:
        raise_value_error("修改的數量 " + py_int(cut) + " 必須大於 0");
    case core::exchange::ModifyCheck::Accepted:
        break;
    }

    RLockGuard guard(matcher_lock(self));
    nb::object orders = pending_orders_of(self);
    nb::object order = find_order_or_say_missing(orders, trade_id);
    if (!order.is_valid())
        return;
    // Every value is checked before the order changes, so a refusal leaves it as it was.
    nb::object resting = order["quantity"];
    long long left = 0;
    if (cut != 0) {
        const long long quantity = int64_of(resting);
        if (!core::exchange::cut_fits(cut, quantity))
            raise_value_error("修改的數量 " + py_int(cut) + " 大於原本的數量 " + py_str(resting));
        left = quantity - cut;
    }
    // An order with nothing left to fill stops resting; a price change is then moot.
    const bool reprice = new_price != 0.0 && !(cut != 0 && left == 0);
    if (reprice) {
        if (!core::exchange::new_price_valid(new_price))
            raise_value_error("修改的價格 " + py_float(new_price) + " 必須大於 0");
        core::input_rules::check_limit_price(new_price, true);
    }
    // Both reports are built before either is queued; a failure puts the order back.
    nb::object old_price = order["price"];
    nb::object qty_report, price_report;
    try {
        if (cut != 0) {
            order["quantity"] = left;
            qty_report = make_order_report(self, order, enum_member("OperationType", "UPDATE_QTY"),
                                           enum_member("SuccessCode", "ModifyOrder"));
        }
        if (reprice) {
            order["price"] = price;
            price_report =
                make_order_report(self, order, enum_member("OperationType", "UPDATE_PRICE"),
                                  enum_member("SuccessCode", "ModifyOrder"));
        }
    } catch (...) {
        order["quantity"] = resting;
        order["price"] = old_price;
        throw;
    }
    if (cut != 0) {
        queue_response(self, qty_report);
        if (left == 0) {
            remove_record(orders, order);
            note_list_change(self);
        }
        print("[green]修改委託單 " + utf8(trade_id) + " 數量成功, 修改數量 " + py_int(cut) +
              "[/green]");
    }
    if (reprice) {
        queue_response(self, price_report);
        print("[green]修改委託單 " + utf8(trade_id) + " 價格成功, 修改價格 " + py_float(new_price) +
              "[/green]");
    }
}

void cancel_order(nb::handle self, nb::handle trade_id) {
    require_str(trade_id, "trade_id");
    RLockGuard guard(matcher_lock(self));
    nb::object orders = pending_orders_of(self);
    nb::object order = find_order_or_say_missing(orders, trade_id);
    if (!order.is_valid())
        return;
    remove_record(orders, order);
    note_list_change(self);
    auto error = run_guarded([&] {
        nb::object report = make_order_report(self, order, enum_member("OperationType", "CANCEL"),
                                              enum_member("SuccessCode", "OrderBeCancel"));
        queue_response(self, report);
        print("[green]取消委託單 " + utf8(trade_id) + " 成功[/green]");
    });
    if (error)
        print("[red]" + error->text + "[/red]");
}

} // namespace

/// add_order's signature text with the frozen defaults rendered as Python renders them.
std::string add_order_signature(nb::handle cond, nb::handle lot, nb::handle oc) {
    return "def add_order(self, code: str, product_type: str, action: str, "
           "price: int | float, qty: int, price_type: str, order_type: str, "
           "order_cond: str | None = " +
           py_repr(cond) + ", order_lot: str | None = " + py_repr(lot) +
           ", oc_type: str | None = " + py_repr(oc) + ") -> None";
}

void register_order_methods(nb::class_<Matcher> &cls) {
    // Frozen when the class is created; a default that is neither str nor None fails the
    // import with a TypeError.
    nb::object cond = frozen_default("OrderCond", "CASH");
    nb::object lot = frozen_default("OrderLot", "COMMON");
    nb::object oc = frozen_default("OCType", "AUTO");
    NoneDefaults none_ok{cond.is_none(), lot.is_none(), oc.is_none()};
    const std::string signature = add_order_signature(cond, lot, oc);

    cls.def(
        "add_order",
        [none_ok](nb::handle self, nb::handle code, nb::handle product_type, nb::handle action,
                  nb::handle price, nb::handle qty, nb::handle price_type, nb::handle order_type,
                  nb::handle order_cond, nb::handle order_lot, nb::handle oc_type) {
            add_order(self, code, product_type, action, price, qty, price_type, order_type,
                      order_cond, order_lot, oc_type, none_ok);
        },
        nb::arg("code").none(), nb::arg("product_type").none(), nb::arg("action").none(),
        nb::arg("price").none(), nb::arg("qty").none(), nb::arg("price_type").none(),
        nb::arg("order_type").none(), nb::arg("order_cond").none() = cond,
        nb::arg("order_lot").none() = lot, nb::arg("oc_type").none() = oc,
        nb::sig(signature.c_str()));

    cls.def("modify_order", &modify_order, nb::arg("trade_id").none(),
            nb::arg("qty").none() = nb::none(), nb::arg("price").none() = nb::none(),
            nb::sig("def modify_order(self, trade_id: str, qty: int | None = None, "
                    "price: float | None = None) -> None"));

    cls.def("cancel_order", &cancel_order, nb::arg("trade_id").none(),
            nb::sig("def cancel_order(self, trade_id: str) -> None"));

    cls.def(
        "add_pending_order_queue",
        [](nb::handle self, nb::handle action, nb::handle payload) {
            require_str(action, "action");
            require_dict(payload, "payload");
            nb::dict request;
            request["action"] = action;
            request["payload"] = payload;
            self.attr("pending_order_queue").attr("put")(request);
        },
        nb::arg("action").none(), nb::arg("payload").none(),
        nb::sig("def add_pending_order_queue(self, action: str, payload: dict) -> None"));
}

} // namespace quarvel::matcher
