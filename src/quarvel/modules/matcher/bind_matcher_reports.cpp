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
    nb::object product_type = get(trade, f[F::product_type]);
    if (str_equals(product_type, "Stock"))
        return Product::Stock;
    if (str_equals(product_type, "Future"))
        return Product::Future;
    PyErr_SetString(PyExc_ValueError, ("不支援的商品類型: " + py_str(product_type)).c_str());
    throw nb::python_error();
}

nb::object from_value(const Fields &f, F enum_name, nb::handle value) {
    nb::object enum_class = f.global(enum_name);
    // from_value hands a member back unchanged: a member of that very class (what the
    // records hold) needs no call.
    if (reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())) == enum_class.ptr())
        return nb::borrow(value);
    PyObject *args[] = {enum_class.ptr(), value.ptr()};
    PyObject *result = PyObject_VectorcallMethod(f[F::from_value].ptr(), args, 2, nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

/// Copies data[k] into out[k] for each key, in order.
void copy_keys(const Fields &f, nb::handle out, nb::handle data, std::initializer_list<F> keys) {
    for (F k : keys)
        put(out, f[k], get(data, f[k]));
}

/// The `ts` of the code's current tick info at this moment, None for a code never seen.
nb::object current_tick_ts(const Fields &f, nb::handle self, nb::handle code) {
    nb::object infos = attr_of(self, f[F::current_tick_infos]);
    int known = PySequence_Contains(infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    return known ? get(get(infos, code), f[F::ts]) : nb::none();
}

nb::object account_id(const Fields &f, nb::handle self) {
    return get(attr_of(self, f[F::account_info]), f[F::account_id]);
}
nb::object exchange_name(const Fields &f, nb::handle self) {
    return get(attr_of(self, f[F::exchange_info]), f[F::name]);
}

nb::dict order_common_fields(const Fields &f, nb::handle self, nb::handle trade, Product product,
                             nb::handle operation_type, nb::handle code_obj) {
    nb::dict d;
    put(d, f[F::operation_type], operation_type);
    put(d, f[F::operation_code], code_obj.attr("code"));
    put(d, f[F::operation_message], code_obj.attr("message"));
    put(d, f[F::trade_id], get(trade, f[F::trade_id]));
    put(d, f[F::account_id], account_id(f, self));
    nb::object code = get(trade, f[F::code]);
    put(d, f[F::code], code);
    copy_keys(f, d, trade, {F::action, F::price, F::quantity, F::price_type, F::order_type});
    put(d, f[F::exchange_ts], current_tick_ts(f, self, code));
    if (product == Product::Stock)
        copy_keys(f, d, trade, {F::order_cond, F::order_lot});
    else
        copy_keys(f, d, trade, {F::oc_type});
    return d;
}

nb::dict deal_common_fields(const Fields &f, nb::handle self, nb::handle trade, Product product) {
    nb::dict d;
    nb::object id = get(trade, f[F::trade_id]);
    for (F k : {F::id, F::seqno, F::ordno, F::exchange_seqno})
        put(d, f[k], id);
    put(d, f[F::broker_id], exchange_name(f, self));
    put(d, f[F::account], account_id(f, self));
    copy_keys(f, d, trade, {F::action, F::code, F::quantity, F::price, F::exchange_ts});
    if (product == Product::Stock)
        copy_keys(f, d, trade, {F::order_cond, F::order_lot});
    return d;
}

/// The `order` part shared by both order reports, up to and including `quantity`.
nb::dict order_head(const Fields &f, nb::handle data) {
    nb::dict order;
    nb::object id = get(data, f[F::trade_id]);
    for (F k : {F::id, F::seqno, F::ordno})
        put(order, f[k], id);
    put(order, f[F::account], get(data, f[F::account_id]));
    copy_keys(f, order, data, {F::code, F::action, F::price, F::quantity});
    return order;
}

nb::dict order_report(const Fields &f, nb::handle self, nb::handle data, nb::handle order) {
    nb::dict report;
    put(report, f[F::operation_type],
        from_value(f, F::OperationType, get(data, f[F::operation_type])));
    put(report, f[F::operation_status_code], get(data, f[F::operation_code]));
    put(report, f[F::operation_message], get(data, f[F::operation_message]));
    put(report, f[F::order], order);
    nb::dict status;
    put(status, f[F::id], get(data, f[F::trade_id]));
    put(status, f[F::exchange], exchange_name(f, self));
    put(status, f[F::exchange_ts], get(data, f[F::exchange_ts]));
    put(report, f[F::trade_status], status);
    return report;
}

void put_from_value(const Fields &f, nb::handle out, nb::handle data, F key, F enum_name) {
    put(out, f[key], from_value(f, enum_name, get(data, f[key])));
}

nb::dict stock_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict order = order_head(f, data);
    put_from_value(f, order, data, F::order_type, F::OrderType);
    put_from_value(f, order, data, F::order_cond, F::OrderCond);
    put_from_value(f, order, data, F::order_lot, F::OrderLot);
    put_from_value(f, order, data, F::price_type, F::PriceType);
    return order_report(f, self, data, order);
}

nb::dict future_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict order = order_head(f, data);
    put_from_value(f, order, data, F::order_type, F::OrderType);
    put_from_value(f, order, data, F::price_type, F::PriceType);
    put_from_value(f, order, data, F::oc_type, F::OCType);
    return order_report(f, self, data, order);
}

/// The deal report's keys up to and including `price`, copied from the common fields.
nb::dict deal_head(const Fields &f, nb::handle data) {
    nb::dict deal;
    copy_keys(f, deal, data,
              {F::id, F::seqno, F::ordno, F::exchange_seqno, F::broker_id, F::account, F::action,
               F::code, F::quantity, F::price});
    return deal;
}

nb::dict stock_deal_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict deal = deal_head(f, data);
    put_from_value(f, deal, data, F::order_cond, F::OrderCond);
    put_from_value(f, deal, data, F::order_lot, F::OrderLot);
    copy_keys(f, deal, data, {F::exchange_ts});
    return deal;
}

nb::dict future_deal_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    const Fields &f = fields_of(self);
    nb::dict deal = deal_head(f, data);
    copy_keys(f, deal, data, {F::exchange_ts});
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
