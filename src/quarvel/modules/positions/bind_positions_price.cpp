// Price rules and trade cost of Positions: the tick grid, slippage, contract values and
// the cost of one trade leg. The arithmetic lives in core/; this file reads the live fee
// settings and builds the Python values.
#include <algorithm>
#include <cctype>
#include <cmath>

#include "_core/input_rules.hpp"
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/mangled.hpp"
#include "core/market_rules_ticks.hpp"
#include "core/trade_cost.hpp"
#include "ledger.hpp"
#include "ledger_keys.hpp"
#include "ledger_rules.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

/// The grid of `code`: whole index points for index futures when Taiwan rules are installed.
core::ledger::TickGrid grid_of(const core::ledger::TaiwanRulesTable *rules, nb::handle code) {
    std::string_view text = utf8_view(code);
    bool points = rules && core::ledger::index_future_of(text) != core::ledger::IndexFuture::None;
    return core::ledger::tick_grid_of(text, points);
}

core::ledger::TickGrid grid_of(nb::handle self, nb::handle code) {
    return grid_of(installed_rules(self), code);
}

/// (rounded price, tick): ints in the bands of 1 and 5, floats below.
nb::tuple ceil_price_by_tick(nb::handle self, nb::handle code, nb::handle price) {
    require_str(code, "code");
    double value = require_real(price, "price");
    core::ledger::TickSnap snap = core::ledger::ceil_price_on(grid_of(self, code), value);
    double rounded = snap.integral ? snap.units : snap.price;
    if (!std::isfinite(rounded))
        raise_not_finite(rounded);
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

double slipped_price(core::ledger::TickGrid grid, double price, nb::handle tick_count, bool up) {
    std::int64_t count = require_int64(tick_count, "tick_count");
    core::input_rules::check_slippage_ticks(count);
    // The steps run in chunks (about 20 ms each) with a signal check between them, so that a
    // huge configured tick count can be interrupted; chunking leaves the result unchanged,
    // as each step starts from the previous step's price alone.
    constexpr std::int64_t kStepsPerChunk = std::int64_t{1} << 20;
    double out = price;
    for (std::int64_t left = count; left > 0;) {
        const std::int64_t steps = std::min(left, kStepsPerChunk);
        out = core::ledger::slippage_on(grid, out, steps, up);
        left -= steps;
        if (left > 0 && (!std::isfinite(out) || PyErr_CheckSignals() < 0))
            break;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    if (count > 0 && !std::isfinite(out))
        raise_not_finite(out);
    return out;
}

nb::float_ calculate_slippage_price(nb::handle self, nb::handle code, nb::handle price,
                                    nb::handle tick_count, nb::handle direction) {
    require_str(code, "code");
    double value = require_real(price, "price");
    require_int(tick_count, "tick_count");
    return nb::float_(
        slipped_price(grid_of(self, code), value, tick_count, text_equals(direction, "up")));
}

nb::object apply_future_contract_value(nb::handle, nb::handle code) {
    require_str(code, "code");
    nb::object table = module_global(ledger_keys().FutureIndexContractValue);
    int known = PySequence_Contains(table.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    if (known)
        return table[code];
    return nb::int_(core::ledger::kDefaultContractValue);
}

/// An int for a whole number (as the contract-value table holds them), else a float.
nb::object whole_or_float(double value) {
    if (std::floor(value) == value && std::fabs(value) < 9.0e15)
        return nb::int_(static_cast<long long>(value));
    return nb::float_(value);
}

/// action.lower(): the two sides as interned keys, other ASCII text lowered natively,
/// anything else asks the object itself.
nb::object lower_side(nb::handle action) {
    if (PyUnicode_CheckExact(action.ptr())) {
        if (PyUnicode_CompareWithASCIIString(action.ptr(), "Buy") == 0)
            return nb::borrow(ledger_keys().buy);
        if (PyUnicode_CompareWithASCIIString(action.ptr(), "Sell") == 0)
            return nb::borrow(ledger_keys().sell);
    }
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
    return nb::float_(core::ledger::leg_charge(as_real(rate, "rate"), as_real(quantity, "quantity"),
                                               as_real(units, "contract value"), price));
}

nb::dict calculate_trade_cost_method(nb::handle self, nb::handle code, nb::handle action,
                                     nb::handle price, nb::handle quantity, nb::handle product_type,
                                     nb::handle ignore_tax, nb::handle need_reverse_direction) {
    return cost_info(calculate_trade_cost(self, code, action, price, quantity, product_type,
                                          truthy(ignore_tax), truthy(need_reverse_direction)));
}

} // namespace

LegCost calculate_trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                             nb::handle quantity, nb::handle product_type, bool ignore_tax,
                             bool reverse_direction, bool day_trade) {
    require_str(code, "code");
    double origin_price = require_real(price, "price");
    require_int(quantity, "quantity");

    const LedgerKeys &k = ledger_keys();
    bool future = false;
    nb::handle family_name = k.stock;
    if (text_equals(product_type, "Stock")) {
    } else if (text_equals(product_type, "Future")) {
        future = true;
        family_name = k.future;
    } else {
        // str + value, as the message is built in Python: a non-str type is a TypeError.
        nb::object message = nb::str("不支援的商品類型: ") + product_type;
        raise_exception(utf8(message));
    }

    // The settings are read afresh for every item, as callers may change them any time.
    nb::object settings = self.attr(k._fee_settings);
    nb::object slippage = item(item(item(settings, family_name), k.slippage), lower_side(action));
    nb::object direction = item(slippage, k.direction);
    bool up = core::ledger::slips_up(text_equals(direction, "up"), text_equals(direction, "down"),
                                     reverse_direction);

    const core::ledger::TaiwanRulesTable *rules = installed_rules(self);
    const core::ledger::FutureTerms *terms = margined_terms(rules, code, future);
    LegCost cost;
    cost.price =
        slipped_price(grid_of(rules, code), origin_price, item(slippage, k.tick_count), up);
    nb::object units =
        future ? apply_future_contract_value(self, code) : nb::int_(core::ledger::kSharesPerLot);
    if (terms)
        units = whole_or_float(terms->multiplier);

    if (rules && (terms || !future)) {
        // The law decides which legs pay tax, so the ledger's ignore_tax does not apply.
        core::ledger::LegCharges charges =
            ruled_charges(*rules, terms, code, cost.price, as_real(quantity, "quantity"),
                          text_equals(action, "Sell"), day_trade);
        cost.fee = nb::float_(charges.fee);
        cost.tax = nb::float_(charges.tax);
    } else {
        cost.fee = charge(item(item(settings, family_name), k.fee), quantity, units, cost.price);
        cost.tax = ignore_tax ? nb::int_(0)
                              : charge(item(item(settings, family_name), k.tax), quantity, units,
                                       cost.price);
    }
    cost.fixed_cost = item(item(settings, family_name), k.per_trade_cost);
    cost.qty = nb::borrow(quantity);
    cost.min_qty = quantity * units;
    cost.price_obj = nb::float_(cost.price);
    cost.origin_price = nb::float_(origin_price);
    return cost;
}

nb::dict cost_info(const LegCost &cost) {
    const LedgerKeys &k = ledger_keys();
    nb::dict info = presized_dict(7);
    set_item(info, k.fee, cost.fee);
    set_item(info, k.tax, cost.tax);
    set_item(info, k.fixed_cost, cost.fixed_cost);
    set_item(info, k.qty, cost.qty);
    set_item(info, k.min_qty, cost.min_qty);
    set_item(info, k.price, cost.price_obj);
    set_item(info, k.origin_price, cost.origin_price);
    return info;
}

void register_price_methods(nb::class_<Positions> &cls) {
    cls.def(QV_PRIVATE(Positions, ceil_price_by_tick), &ceil_price_by_tick, nb::arg("code"),
            nb::arg("price"),
            nb::sig("def _Positions__ceil_price_by_tick(self, code: str, price: int | float) "
                    "-> tuple[int | float, int | float]"));
    cls.def(QV_PRIVATE(Positions, calculate_slippage_price), &calculate_slippage_price,
            nb::arg("code"), nb::arg("price"), nb::arg("tick_count"), nb::arg("direction").none(),
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
