// Market rules of an account: Positions.apply_rules installs a rules table, the costing,
// booking and queries consult it, and check_buying_power lets the exchange refuse orders
// the account cannot pay for. Without a table installed nothing here changes a number.
#include <nanobind/stl/string_view.h>

#include <string_view>

#include "_native/args.hpp"
#include "_native/private_api.hpp"
#include "_native/records.hpp"
#include "core/market_rules_margin.hpp"
#include "core/trade_cost.hpp"
#include "ledger_keys.hpp"
#include "ledger_rules.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

constexpr double kLotShares = static_cast<double>(core::ledger::kSharesPerLot);

nb::object instance_dict(nb::handle self) {
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict)
        throw nb::python_error();
    return nb::steal(dict);
}

/// Open quantity of one side of a code's book.
double open_quantity(nb::handle entries) {
    const LedgerKeys &k = ledger_keys();
    double total = 0;
    for (nb::handle entry : entries)
        total += as_real(item(entry, k.quantity), "quantity");
    return total;
}

/// Sums over the margined futures positions: original and maintenance margin, and the
/// unrealised profit at each code's latest close.
struct MarginSums {
    double used = 0;
    double maintenance = 0;
    double unrealised = 0;
};

void add_code_margin(MarginSums &sums, nb::handle self, const core::ledger::FutureTerms &terms,
                     nb::handle code, nb::handle book) {
    const LedgerKeys &k = ledger_keys();
    nb::object ticks = self.attr("current_tick_infos");
    nb::object tick = nb::none();
    if (PySequence_Contains(ticks.ptr(), code.ptr()) == 1)
        tick = item(ticks, code);
    bool priced = PyObject_IsTrue(tick.ptr()) == 1;
    double close = priced ? as_real(item(tick, nb::str("close")), "close") : 0.0;
    for (nb::handle side : {k.buy, k.sell}) {
        double sign = side.is(k.buy) ? 1.0 : -1.0;
        for (nb::handle entry : item(book, side)) {
            double quantity = as_real(item(entry, k.quantity), "quantity");
            sums.used += core::ledger::original_margin(terms.original_margin, quantity);
            sums.maintenance += core::ledger::original_margin(terms.maintenance_margin, quantity);
            if (priced)
                sums.unrealised += sign * (close - as_real(item(entry, k.price), "price")) *
                                   quantity * terms.multiplier;
        }
    }
}

MarginSums margin_sums(nb::handle self, const core::ledger::TaiwanRulesTable &rules) {
    const LedgerKeys &k = ledger_keys();
    MarginSums sums;
    nb::object mapper = self.attr(k.product_type_mapper);
    for (auto [code, book] : nb::borrow<nb::dict>(self.attr(k.positions))) {
        bool future = PySequence_Contains(mapper.ptr(), code.ptr()) == 1 &&
                      text_equals(item(mapper, code), "Future");
        if (const core::ledger::FutureTerms *terms = margined_terms(&rules, code, future))
            add_code_margin(sums, self, *terms, code, book);
    }
    return sums;
}

double available_funds(nb::handle self, const core::ledger::TaiwanRulesTable &rules) {
    MarginSums sums = margin_sums(self, rules);
    return as_real(self.attr(ledger_keys().current_capital), "current_capital") + sums.unrealised -
           sums.used;
}

/// What an order that opens `opening` lots or contracts at `price` needs in cash or margin.
double required_funds(const core::ledger::TaiwanRulesTable &rules,
                      const core::ledger::FutureTerms *terms, nb::handle code, double price,
                      double opening, bool selling) {
    core::ledger::LegCharges charges =
        ruled_charges(rules, terms, code, price, opening, selling, false);
    if (terms)
        return core::ledger::original_margin(terms->original_margin, opening) + charges.fee +
               charges.tax;
    return core::ledger::opening_cash(false, price * opening * kLotShares, charges.fee, charges.tax,
                                      0);
}

/// None when the order fits, else {"required", "available", "shortfall"}.
nb::object check_buying_power(nb::handle self, nb::handle order) {
    require_dict(order, "order");
    const core::ledger::TaiwanRulesTable *rules = installed_rules(self);
    if (!rules)
        return nb::none();
    const LedgerKeys &k = ledger_keys();
    nb::object code = item(order, k.code);
    require_str(code, "code");
    bool future = text_equals(item(order, nb::str("product_type")), "Future");
    const core::ledger::FutureTerms *terms = margined_terms(rules, code, future);
    if (future && !terms)
        return nb::none(); // a futures code the rules have no terms for
    bool selling = text_equals(item(order, k.action), "Sell");

    // Quantity that covers open positions needs nothing; only what opens is checked.
    double quantity = as_real(item(order, k.quantity), "quantity");
    nb::object books = self.attr(k.positions);
    if (PySequence_Contains(books.ptr(), code.ptr()) == 1)
        quantity -= open_quantity(item(item(books, code), selling ? k.buy : k.sell));
    if (quantity <= 0)
        return nb::none();

    // A market order's price is not what it pays: it fills near the latest close.
    double price = as_real(item(order, k.price), "price");
    PyObject *price_type = PyDict_GetItemString(order.ptr(), "price_type"); // borrowed
    bool market = price_type && text_equals(nb::handle(price_type), "MKT");
    nb::object ticks = self.attr("current_tick_infos");
    if ((market || !(price > 0)) && PySequence_Contains(ticks.ptr(), code.ptr()) == 1) {
        nb::object tick = item(ticks, code);
        if (PyObject_IsTrue(tick.ptr()) == 1)
            price = as_real(item(tick, nb::str("close")), "close");
    }
    core::ledger::BuyingPower decision = core::ledger::decide_buying_power(
        required_funds(*rules, terms, code, price, quantity, selling),
        available_funds(self, *rules));
    if (decision.accepted)
        return nb::none();
    nb::dict out;
    out["required"] = decision.required;
    out["available"] = decision.available;
    out["shortfall"] = decision.shortfall;
    return out;
}

void apply_rules(nb::handle self, nb::handle rules) {
    nb::object table = rules.attr("table");
    nb::object dict = instance_dict(self);
    if (table.is_none()) {
        // The default rules: the account is left exactly as a fresh one is.
        for (nb::handle key : {ledger_keys()._market_rules, ledger_keys()._market_rules_table}) {
            if (PyDict_Contains(dict.ptr(), key.ptr()) == 1 &&
                PyDict_DelItem(dict.ptr(), key.ptr()) < 0)
                throw nb::python_error();
        }
        return;
    }
    if (!nb::isinstance<core::ledger::TaiwanRulesTable>(table))
        raise_arg_type("rules.table", "TaiwanRulesTable or None", table);
    set_item(dict, ledger_keys()._market_rules, rules);
    set_item(dict, ledger_keys()._market_rules_table, table);
}

} // namespace

const core::ledger::TaiwanRulesTable *installed_rules(nb::handle self) {
    // Asked several times per deal, so the dict is read as it stands (see private_api.hpp).
    nb::object dict = existing_instance_dict(self);
    if (!dict.is_valid())
        return nullptr; // no attribute set yet: nothing installed
    PyObject *table = PyDict_GetItemWithError(dict.ptr(), ledger_keys()._market_rules_table.ptr());
    if (!table) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nullptr;
    }
    core::ledger::TaiwanRulesTable *out = nullptr;
    if (!nb::try_cast<core::ledger::TaiwanRulesTable *>(nb::handle(table), out))
        return nullptr;
    return out; // kept alive by the instance dict
}

const core::ledger::FutureTerms *margined_terms(const core::ledger::TaiwanRulesTable *rules,
                                                nb::handle code, bool future) {
    if (!rules || !future || !PyUnicode_Check(code.ptr()))
        return nullptr;
    return rules->terms_of(utf8_view(code));
}

core::ledger::LegCharges ruled_charges(const core::ledger::TaiwanRulesTable &rules,
                                       const core::ledger::FutureTerms *terms, nb::handle code,
                                       double price, double quantity, bool selling,
                                       bool day_trade) {
    if (terms)
        return core::ledger::future_leg(rules, *terms, price, quantity);
    return core::ledger::stock_leg(rules, utf8_view(code), price, quantity * kLotShares, selling,
                                   day_trade);
}

bool day_trade_sell(const core::ledger::TaiwanRulesTable *rules, nb::handle entry, nb::handle deal,
                    bool future) {
    const LedgerKeys &k = ledger_keys();
    if (!rules || future || !text_equals(item(deal, k.action), "Sell"))
        return false;
    nb::object opened = item(entry, k.exchange_ts);
    nb::object closed = item(deal, k.exchange_ts);
    bool real = (PyFloat_Check(opened.ptr()) || PyLong_Check(opened.ptr())) &&
                (PyFloat_Check(closed.ptr()) || PyLong_Check(closed.ptr()));
    return real && core::ledger::same_taipei_day(as_real(opened, "exchange_ts"),
                                                 as_real(closed, "exchange_ts"));
}

nb::dict margin_report(nb::handle self, const core::ledger::TaiwanRulesTable &rules) {
    MarginSums sums = margin_sums(self, rules);
    double cash = as_real(self.attr(ledger_keys().current_capital), "current_capital");
    double equity = cash + sums.unrealised;
    nb::dict out;
    out["cash"] = cash;
    out["unrealised"] = sums.unrealised;
    out["equity"] = equity;
    out["margin_used"] = sums.used;
    out["maintenance_margin"] = sums.maintenance;
    out["available"] = equity - sums.used;
    out["margin_call"] = sums.used > 0 && equity < sums.maintenance;
    return out;
}

double code_margin_used(nb::handle self, const core::ledger::TaiwanRulesTable &rules,
                        nb::handle code) {
    const LedgerKeys &k = ledger_keys();
    nb::object mapper = self.attr(k.product_type_mapper);
    bool future = PySequence_Contains(mapper.ptr(), code.ptr()) == 1 &&
                  text_equals(item(mapper, code), "Future");
    const core::ledger::FutureTerms *terms = margined_terms(&rules, code, future);
    nb::object books = self.attr(k.positions);
    if (!terms || PySequence_Contains(books.ptr(), code.ptr()) != 1)
        return 0;
    nb::object book = item(books, code);
    return core::ledger::original_margin(terms->original_margin,
                                         open_quantity(item(book, k.buy)) +
                                             open_quantity(item(book, k.sell)));
}

void register_rules_methods(nb::class_<Positions> &cls) {
    cls.def("apply_rules", &apply_rules, nb::arg("rules"),
            nb::sig("def apply_rules(self, rules: SpecRules | TaiwanRules) -> None"));
    cls.def("check_buying_power", &check_buying_power, nb::arg("order"),
            nb::sig("def check_buying_power(self, order: dict) -> dict | None"));
}

#define QV_TERMS_FIELD(product, field)                                                             \
    def_prop_rw(                                                                                   \
        #product "_" #field,                                                                       \
        [](const core::ledger::TaiwanRulesTable &t) { return t.product.field; },                   \
        [](core::ledger::TaiwanRulesTable &t, double value) { t.product.field = value; })
#define QV_TERMS(product)                                                                          \
    QV_TERMS_FIELD(product, multiplier)                                                            \
        .QV_TERMS_FIELD(product, commission)                                                       \
        .QV_TERMS_FIELD(product, original_margin)                                                  \
        .QV_TERMS_FIELD(product, maintenance_margin)

void bind_rules_table(nb::module_ &m) {
    using T = core::ledger::TaiwanRulesTable;
    nb::class_<T>(m, "TaiwanRulesTable")
        .def(nb::init<>())
        .def(
            "margined",
            [](const T &t, std::string_view code) { return t.terms_of(code) != nullptr; },
            nb::arg("code"), nb::sig("def margined(self, code: str) -> bool"))
        .def_rw("stock_commission_rate", &T::stock_commission_rate)
        .def_rw("broker_discount", &T::broker_discount)
        .def_rw("min_commission", &T::min_commission)
        .def_rw("stock_tax", &T::stock_tax)
        .def_rw("etf_tax", &T::etf_tax)
        .def_rw("day_trade_tax", &T::day_trade_tax)
        .def_rw("bond_etf_tax", &T::bond_etf_tax)
        .def_rw("futures_tax", &T::futures_tax)
        .QV_TERMS(tx)
        .QV_TERMS(mtx)
        .QV_TERMS(tmf);
}

#undef QV_TERMS
#undef QV_TERMS_FIELD

} // namespace quarvel::positions
