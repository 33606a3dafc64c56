// Order and deal reports: the common fields taken from a record, then one shaper per
// report kind and product. Each dict is built in exactly one function below, so its key
// order cannot drift.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "bindings.hpp"
#include "records.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

enum class Product { Stock, Future };

/// "Stock" or "Future" from a record; any other value is an error.
Product product_of(const Fields &f, nb::handle trade) {
    nb::object product_type = item(trade, f.product_type);
    if (text_equals(product_type, "Stock"))
        return Product::Stock;
    if (text_equals(product_type, "Future"))
        return Product::Future;
    PyErr_SetString(PyExc_ValueError, ("不支援的商品類型: " + py_str(product_type)).c_str());
    throw nb::python_error();
}

nb::object from_value(const Fields &f, nb::handle enum_name, nb::handle value) {
    nb::object enum_class = f.global(enum_name);
    // from_value hands a member back unchanged: a member of that very class (what the
    // records hold) needs no call.
    if (reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())) == enum_class.ptr())
        return nb::borrow(value);
    PyObject *args[] = {enum_class.ptr(), value.ptr()};
    PyObject *result = PyObject_VectorcallMethod(f.from_value.ptr(), args, 2, nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// Copies data[k] into out[k] for each key, in order.
void copy_keys(nb::handle out, nb::handle data, std::initializer_list<nb::handle> keys) {
    for (nb::handle k : keys)
        set_item(out, k, item(data, k));
}

/// The `ts` of the code's current tick info at this moment, None for a code never seen.
nb::object current_tick_ts(const Fields &f, nb::handle self, nb::handle code) {
    nb::object infos = attr_of(self, f.current_tick_infos);
    int known = PySequence_Contains(infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    return known ? item(item(infos, code), f.ts) : nb::none();
}

nb::object account_id(const Fields &f, nb::handle self) {
    return item(attr_of(self, f.account_info), f.account_id);
}
nb::object exchange_name(const Fields &f, nb::handle self) {
    return item(attr_of(self, f.exchange_info), f.name);
}

nb::dict order_common_fields(const Fields &f, nb::handle self, nb::handle trade, Product product,
                             nb::handle operation_type, nb::handle code_obj) {
    nb::dict d;
    set_item(d, f.operation_type, operation_type);
    set_item(d, f.operation_code, code_obj.attr("code"));
    set_item(d, f.operation_message, code_obj.attr("message"));
    set_item(d, f.trade_id, item(trade, f.trade_id));
    set_item(d, f.account_id, account_id(f, self));
    nb::object code = item(trade, f.code);
    set_item(d, f.code, code);
    copy_keys(d, trade, {f.action, f.price, f.quantity, f.price_type, f.order_type});
    set_item(d, f.exchange_ts, current_tick_ts(f, self, code));
    if (product == Product::Stock)
        copy_keys(d, trade, {f.order_cond, f.order_lot});
    else
        copy_keys(d, trade, {f.oc_type});
    return d;
}

nb::dict deal_common_fields(const Fields &f, nb::handle self, nb::handle trade, Product product) {
    nb::dict d;
    nb::object id = item(trade, f.trade_id);
    for (nb::handle k : {f.id, f.seqno, f.ordno, f.exchange_seqno})
        set_item(d, k, id);
    set_item(d, f.broker_id, exchange_name(f, self));
    set_item(d, f.account, account_id(f, self));
    copy_keys(d, trade, {f.action, f.code, f.quantity, f.price, f.exchange_ts});
    if (product == Product::Stock)
        copy_keys(d, trade, {f.order_cond, f.order_lot});
    return d;
}

/// The `order` part shared by both order reports, up to and including `quantity`.
nb::dict order_head(const Fields &f, nb::handle data) {
    nb::dict order;
    nb::object id = item(data, f.trade_id);
    for (nb::handle k : {f.id, f.seqno, f.ordno})
        set_item(order, k, id);
    set_item(order, f.account, item(data, f.account_id));
    copy_keys(order, data, {f.code, f.action, f.price, f.quantity});
    return order;
}

nb::dict order_report(const Fields &f, nb::handle self, nb::handle data, nb::handle order) {
    nb::dict report;
    set_item(report, f.operation_type,
             from_value(f, f.OperationType, item(data, f.operation_type)));
    set_item(report, f.operation_status_code, item(data, f.operation_code));
    set_item(report, f.operation_message, item(data, f.operation_message));
    set_item(report, f.order, order);
    nb::dict status;
    set_item(status, f.id, item(data, f.trade_id));
    set_item(status, f.exchange, exchange_name(f, self));
    set_item(status, f.exchange_ts, item(data, f.exchange_ts));
    set_item(report, f.trade_status, status);
    return report;
}

void put_from_value(const Fields &f, nb::handle out, nb::handle data, nb::handle key,
                    nb::handle enum_name) {
    set_item(out, key, from_value(f, enum_name, item(data, key)));
}

nb::dict stock_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict order = order_head(f, data);
    put_from_value(f, order, data, f.order_type, f.OrderType);
    put_from_value(f, order, data, f.order_cond, f.OrderCond);
    put_from_value(f, order, data, f.order_lot, f.OrderLot);
    put_from_value(f, order, data, f.price_type, f.PriceType);
    return order_report(f, self, data, order);
}

nb::dict future_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict order = order_head(f, data);
    put_from_value(f, order, data, f.order_type, f.OrderType);
    put_from_value(f, order, data, f.price_type, f.PriceType);
    put_from_value(f, order, data, f.oc_type, f.OCType);
    return order_report(f, self, data, order);
}

/// The deal report's keys up to and including `price`, copied from the common fields.
nb::dict deal_head(const Fields &f, nb::handle data) {
    nb::dict deal;
    copy_keys(deal, data,
              {f.id, f.seqno, f.ordno, f.exchange_seqno, f.broker_id, f.account, f.action, f.code,
               f.quantity, f.price});
    return deal;
}

nb::dict stock_deal_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict deal = deal_head(f, data);
    put_from_value(f, deal, data, f.order_cond, f.OrderCond);
    put_from_value(f, deal, data, f.order_lot, f.OrderLot);
    copy_keys(deal, data, {f.exchange_ts});
    return deal;
}

nb::dict future_deal_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict deal = deal_head(f, data);
    copy_keys(deal, data, {f.exchange_ts});
    return deal;
}

} // namespace

nb::object make_order_report(nb::handle self, nb::handle trade, nb::handle operation_type,
                             nb::handle code_obj) {
    const Fields &f = fields_of(self);
    Product product = product_of(f, trade);
    nb::dict data = order_common_fields(f, self, trade, product, operation_type, code_obj);
    return product == Product::Stock ? stock_order_report(self, data)
                                     : future_order_report(self, data);
}

nb::object make_deal_report(nb::handle self, nb::handle trade) {
    const Fields &f = fields_of(self);
    Product product = product_of(f, trade);
    nb::dict data = deal_common_fields(f, self, trade, product);
    return product == Product::Stock ? stock_deal_report(self, data)
                                     : future_deal_report(self, data);
}

void register_report_methods(nb::class_<Matcher> &cls) {
    cls.def(
        "build_order_response",
        [](nb::handle self, nb::handle trade, nb::handle operation_type, nb::handle code_obj) {
            require_dict(trade, "trade");
            return make_order_report(self, trade, operation_type, code_obj);
        },
        nb::arg("trade").none(), nb::arg("operation_type").none(), nb::arg("code_obj").none(),
        nb::sig("def build_order_response(self, trade: dict, operation_type: OperationType, "
                "code_obj: SuccessCode) -> dict"));
    cls.def(
        "build_deal_response",
        [](nb::handle self, nb::handle trade) {
            require_dict(trade, "trade");
            return make_deal_report(self, trade);
        },
        nb::arg("trade").none(), nb::sig("def build_deal_response(self, trade: dict) -> dict"));
    cls.def("get_simulation_stock_order_response", &stock_order_report, nb::arg("data").none(),
            nb::sig("def get_simulation_stock_order_response(self, data: dict) -> dict"));
    cls.def("get_simulation_future_order_response", &future_order_report, nb::arg("data").none(),
            nb::sig("def get_simulation_future_order_response(self, data: dict) -> dict"));
    cls.def("get_simulation_stock_deal_response", &stock_deal_report, nb::arg("data").none(),
            nb::sig("def get_simulation_stock_deal_response(self, data: dict) -> dict"));
    cls.def("get_simulation_future_deal_response", &future_deal_report, nb::arg("data").none(),
            nb::sig("def get_simulation_future_deal_response(self, data: dict) -> dict"));
}

} // namespace quarvel::matcher
