// Order and deal reports: the common fields taken from a record, then one shaper per
// report kind and product. Each dict is built in exactly one function below, so its key
// order cannot drift.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "records.hpp"

namespace quarvel::matcher {

using namespace native;

namespace {

enum class Product { Stock, Future };

/// "Stock" or "Future" from a record; any other value is an error.
Product product_of(nb::handle trade) {
    nb::object product_type = trade["product_type"];
    if (str_equals(product_type, "Stock"))
        return Product::Stock;
    if (str_equals(product_type, "Future"))
        return Product::Future;
    PyErr_SetString(PyExc_ValueError, ("不支援的商品類型: " + py_str(product_type)).c_str());
    throw nb::python_error();
}

nb::object from_value(const char *enum_name, nb::handle value) {
    return module_name(enum_name).attr("from_value")(value);
}

/// The `ts` of the code's current tick info at this moment, None for a code never seen.
nb::object current_tick_ts(nb::handle self, nb::handle code) {
    nb::object infos = self.attr("current_tick_infos");
    int known = PySequence_Contains(infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    return known ? nb::object(infos[code]["ts"]) : nb::none();
}

nb::object account_id(nb::handle self) {
    return self.attr("account_info")["account_id"];
}
nb::object exchange_name(nb::handle self) {
    return self.attr("exchange_info")["name"];
}

nb::dict order_common_fields(nb::handle self, nb::handle trade, Product product,
                             nb::handle operation_type, nb::handle code_obj) {
    nb::dict d;
    d["operation_type"] = operation_type;
    d["operation_code"] = code_obj.attr("code");
    d["operation_message"] = code_obj.attr("message");
    d["trade_id"] = trade["trade_id"];
    d["account_id"] = account_id(self);
    nb::object code = trade["code"];
    d["code"] = code;
    for (const char *key : {"action", "price", "quantity", "price_type", "order_type"})
        d[key] = trade[key];
    d["exchange_ts"] = current_tick_ts(self, code);
    if (product == Product::Stock) {
        d["order_cond"] = trade["order_cond"];
        d["order_lot"] = trade["order_lot"];
    } else {
        d["oc_type"] = trade["oc_type"];
    }
    return d;
}

nb::dict deal_common_fields(nb::handle self, nb::handle trade, Product product) {
    nb::dict d;
    nb::object id = trade["trade_id"];
    for (const char *key : {"id", "seqno", "ordno", "exchange_seqno"})
        d[key] = id;
    d["broker_id"] = exchange_name(self);
    d["account"] = account_id(self);
    for (const char *key : {"action", "code", "quantity", "price", "exchange_ts"})
        d[key] = trade[key];
    if (product == Product::Stock) {
        d["order_cond"] = trade["order_cond"];
        d["order_lot"] = trade["order_lot"];
    }
    return d;
}

/// The `order` part shared by both order reports, up to and including `quantity`.
nb::dict order_head(nb::handle data) {
    nb::dict order;
    nb::object id = data["trade_id"];
    for (const char *key : {"id", "seqno", "ordno"})
        order[key] = id;
    order["account"] = data["account_id"];
    for (const char *key : {"code", "action", "price", "quantity"})
        order[key] = data[key];
    return order;
}

nb::dict order_report(nb::handle self, nb::handle data, nb::handle order) {
    nb::dict report;
    report["operation_type"] = from_value("OperationType", data["operation_type"]);
    report["operation_status_code"] = data["operation_code"];
    report["operation_message"] = data["operation_message"];
    report["order"] = order;
    nb::dict status;
    status["id"] = data["trade_id"];
    status["exchange"] = exchange_name(self);
    status["exchange_ts"] = data["exchange_ts"];
    report["trade_status"] = status;
    return report;
}

nb::dict stock_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    nb::dict order = order_head(data);
    order["order_type"] = from_value("OrderType", data["order_type"]);
    order["order_cond"] = from_value("OrderCond", data["order_cond"]);
    order["order_lot"] = from_value("OrderLot", data["order_lot"]);
    order["price_type"] = from_value("PriceType", data["price_type"]);
    return order_report(self, data, order);
}

nb::dict future_order_report(nb::handle self, nb::handle data) {
    require_dict(data, "data");
    nb::dict order = order_head(data);
    order["order_type"] = from_value("OrderType", data["order_type"]);
    order["price_type"] = from_value("PriceType", data["price_type"]);
    order["oc_type"] = from_value("OCType", data["oc_type"]);
    return order_report(self, data, order);
}

/// The deal report's keys up to and including `price`, copied from the common fields.
nb::dict deal_head(nb::handle data) {
    nb::dict deal;
    for (const char *key : {"id", "seqno", "ordno", "exchange_seqno", "broker_id", "account",
                            "action", "code", "quantity", "price"})
        deal[key] = data[key];
    return deal;
}

nb::dict stock_deal_report(nb::handle, nb::handle data) {
    require_dict(data, "data");
    nb::dict deal = deal_head(data);
    deal["order_cond"] = from_value("OrderCond", data["order_cond"]);
    deal["order_lot"] = from_value("OrderLot", data["order_lot"]);
    deal["exchange_ts"] = data["exchange_ts"];
    return deal;
}

nb::dict future_deal_report(nb::handle, nb::handle data) {
    require_dict(data, "data");
    nb::dict deal = deal_head(data);
    deal["exchange_ts"] = data["exchange_ts"];
    return deal;
}

} // namespace

nb::object make_order_report(nb::handle self, nb::handle trade, nb::handle operation_type,
                             nb::handle code_obj) {
    Product product = product_of(trade);
    nb::dict data = order_common_fields(self, trade, product, operation_type, code_obj);
    return product == Product::Stock ? stock_order_report(self, data)
                                     : future_order_report(self, data);
}

nb::object make_deal_report(nb::handle self, nb::handle trade) {
    Product product = product_of(trade);
    nb::dict data = deal_common_fields(self, trade, product);
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
