// Price rules and trade cost of Positions: the tick grid, slippage, contract values and
// the cost of one trade leg. The arithmetic lives in core/; this file reads the live fee
// settings and builds the Python values.
#include <cctype>
#include <cmath>

#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/names.hpp"
#include "_native/pyns.hpp"
#include "core/price_rules.hpp"
#include "core/trade_cost.hpp"
#include "ledger.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

bool fund_code(nb::handle code) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(code.ptr(), &size);
    if (!text)
        throw nb::python_error();
    return core::is_fund_code(std::string_view(text, static_cast<size_t>(size)));
}

/// (rounded price, tick): ints in the bands of 1 and 5, floats below.
nb::tuple ceil_price_by_tick(nb::handle, nb::handle code, nb::handle price) {
    require_str(code, "code");
    double value = require_real(price, "price");
    core::TickSnap snap = core::ceil_price_by_tick(fund_code(code), value);
    if (!std::isfinite(snap.price))
        raise_not_finite(snap.price);
    if (!snap.integral)
        return nb::make_tuple(nb::float_(snap.price), nb::float_(snap.tick));
    // Built as Python ints so even prices beyond 2**53 come out exact.
    nb::object units = nb::steal(PyLong_FromDouble(snap.units));
    if (!units.is_valid())
        throw nb::python_error();
    if (snap.tick == 1)
        return nb::make_tuple(units, nb::int_(1));
    return nb::make_tuple(units * nb::int_(5), nb::int_(5));
}

double slipped_price(nb::handle code, double price, nb::handle tick_count, bool up) {
    std::int64_t count = require_int64(tick_count, "tick_count");
    double out = core::slippage_price(fund_code(code), price, count, up);
    if (count > 0 && !std::isfinite(out))
        raise_not_finite(out);
    return out;
}

nb::float_ calculate_slippage_price(nb::handle, nb::handle code, nb::handle price,
                                    nb::handle tick_count, nb::handle direction) {
    require_str(code, "code");
    double value = require_real(price, "price");
    require_int(tick_count, "tick_count");
    return nb::float_(slipped_price(code, value, tick_count, text_equals(direction, "up")));
}

nb::object apply_future_contract_value(nb::handle, nb::handle code) {
    require_str(code, "code");
    nb::object table = module_attr(kModule, "FutureIndexContractValue");
    int known = PySequence_Contains(table.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    if (known)
        return table[code];
    return nb::int_(core::kDefaultContractValue);
}

/// action.lower(), ASCII lowered natively; anything else asks the object itself.
nb::object lower_side(nb::handle action) {
    if (PyUnicode_Check(action.ptr()) && PyUnicode_IS_ASCII(action.ptr())) {
        std::string text = utf8(action);
        for (char &c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return nb::str(text.c_str(), text.size());
    }
    return action.attr("lower")();
}

/// rate × quantity × units × price: doubles for numbers, Python's own operators for
/// anything else so the outcome (or the error) is the one Python gives.
nb::object charge(nb::handle rate, nb::handle quantity, nb::handle units, double price) {
    bool real = (PyFloat_Check(rate.ptr()) || PyLong_Check(rate.ptr())) &&
                (PyFloat_Check(units.ptr()) || PyLong_Check(units.ptr()));
    if (!real)
        return rate * quantity * units * nb::float_(price);
    return nb::float_(core::leg_charge(as_real(rate, "rate"), as_real(quantity, "quantity"),
                                       as_real(units, "contract value"), price));
}

bool truthy(nb::handle flag) {
    int value = PyObject_IsTrue(flag.ptr());
    if (value < 0)
        throw nb::python_error();
    return value == 1;
}

nb::dict cost_info_dict(const LegCost &cost, nb::handle quantity, double origin_price) {
    nb::dict info;
    info["fee"] = cost.fee;
    info["tax"] = cost.tax;
    info["fixed_cost"] = cost.fixed_cost;
    info["qty"] = quantity;
    info["min_qty"] = cost.min_qty;
    info["price"] = nb::float_(cost.price);
    info["origin_price"] = nb::float_(origin_price);
    return info;
}

nb::dict calculate_trade_cost_method(nb::handle self, nb::handle code, nb::handle action,
                                     nb::handle price, nb::handle quantity, nb::handle product_type,
                                     nb::handle ignore_tax, nb::handle need_reverse_direction) {
    return calculate_trade_cost(self, code, action, price, quantity, product_type,
                                truthy(ignore_tax), truthy(need_reverse_direction))
        .info;
}

} // namespace

LegCost calculate_trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                             nb::handle quantity, nb::handle product_type, bool ignore_tax,
                             bool reverse_direction) {
    require_str(code, "code");
    double origin_price = require_real(price, "price");
    require_int(quantity, "quantity");

    bool future = false;
    const char *family_name = "stock";
    if (text_equals(product_type, "Stock")) {
    } else if (text_equals(product_type, "Future")) {
        future = true;
        family_name = "future";
    } else {
        // str + value, as the message is built in Python: a non-str type is a TypeError.
        nb::object message = nb::str("不支援的商品類型: ") + product_type;
        raise_exception(utf8(message));
    }

    nb::object settings = self.attr("_fee_settings");
    nb::object slippage = settings[family_name]["slippage"][lower_side(action)];
    nb::object direction = slippage["direction"];
    bool up = core::slips_up(text_equals(direction, "up"), text_equals(direction, "down"),
                             reverse_direction);

    LegCost cost;
    cost.price = slipped_price(code, origin_price, slippage["tick_count"], up);
    nb::object units = future ? apply_future_contract_value(self, code)
                              : nb::int_(static_cast<long>(core::kSharesPerLot));

    cost.fee = charge(settings[family_name]["fee"], quantity, units, cost.price);
    cost.tax = ignore_tax ? nb::int_(0)
                          : charge(settings[family_name]["tax"], quantity, units, cost.price);
    cost.fixed_cost = settings[family_name]["per_trade_cost"];
    cost.min_qty = quantity * units;
    cost.info = cost_info_dict(cost, quantity, origin_price);
    return cost;
}

void register_price_methods(nb::class_<Positions> &cls) {
    cls.def(QV_PRIVATE(Positions, ceil_price_by_tick), &ceil_price_by_tick, nb::arg("code"),
            nb::arg("price"),
            nb::sig("def _Positions__ceil_price_by_tick(self, code: str, price: int | float) "
                    "-> tuple[int | float, int | float]"));
    cls.def(QV_PRIVATE(Positions, calculate_slippage_price), &calculate_slippage_price,
            nb::arg("code"), nb::arg("price"), nb::arg("tick_count"), nb::arg("direction"),
            nb::sig("def _Positions__calculate_slippage_price(self, code: str, "
                    "price: int | float, tick_count: int, direction: str) -> float"));
    cls.def(QV_PRIVATE(Positions, apply_future_contract_value), &apply_future_contract_value,
            nb::arg("code"),
            nb::sig("def _Positions__apply_future_contract_value(self, code: str) "
                    "-> int | float"));
    cls.def(QV_PRIVATE(Positions, calculate_trade_cost), &calculate_trade_cost_method,
            nb::arg("code"), nb::arg("action"), nb::arg("price"), nb::arg("quantity"),
            nb::arg("product_type"), nb::arg("ignore_tax") = false,
            nb::arg("need_reverse_direction") = true,
            nb::sig("def _Positions__calculate_trade_cost(self, code: str, action: str, "
                    "price: int | float, quantity: int, product_type: str, "
                    "ignore_tax: bool = False, need_reverse_direction: bool = True) -> dict"));
}

} // namespace quarvel::positions
