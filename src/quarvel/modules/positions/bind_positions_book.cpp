// The position book of Positions: set_positions opens positions or covers the opposite
// side first-in first-out, and books capital, statistics and the console lines.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "account.hpp"
#include "core/cover_math.hpp"
#include "core/fifo_cover.hpp"
#include "core/market_rules_margin.hpp"
#include "core/trade_cost.hpp"
#include "deal_checks.hpp"
#include "ledger.hpp"
#include "ledger_keys.hpp"
#include "ledger_rules.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

/// copy.deepcopy(trade); a flat record (what the matcher sends) is copied natively.
nb::object deep_copy_record(nb::handle trade) {
    if (nb::object copy = flat_deep_copy(trade); copy.is_valid())
        return copy;
    return module_global(ledger_keys().copy).attr(ledger_keys().deepcopy)(trade);
}

/// setdefault without replacing: the book, the product type and the statistics of a code.
void ensure_known_code(nb::handle self, nb::handle code, nb::handle product_type) {
    const LedgerKeys &k = ledger_keys();
    auto add_if_absent = [&](nb::handle attribute, auto make_value) {
        nb::object mapping = self.attr(attribute);
        int known = PySequence_Contains(mapping.ptr(), code.ptr());
        if (known < 0)
            throw nb::python_error();
        if (!known)
            set_item(mapping, code, make_value());
    };
    add_if_absent(k.positions, [&] {
        nb::dict book;
        set_item(book, k.buy, nb::list());
        set_item(book, k.sell, nb::list());
        return nb::object(book);
    });
    add_if_absent(k.product_type_mapper, [&] { return nb::borrow(product_type); });
    add_if_absent(k._account_infos, [] { return nb::object(make_account_info()); });
}

/// mapping[key] += amount, with Python's own arithmetic on the stored value.
void add_to(nb::handle mapping, nb::handle key, nb::handle amount) {
    PyObject *sum = PyNumber_InPlaceAdd(item(mapping, key).ptr(), amount.ptr());
    if (!sum)
        throw nb::python_error();
    set_item(mapping, key, nb::steal(sum));
}

/// self.<name> += amount (or -=).
void add_to_attribute(nb::handle self, nb::handle name, nb::handle amount, bool subtract) {
    nb::object current = self.attr(name);
    PyObject *out = subtract ? PyNumber_InPlaceSubtract(current.ptr(), amount.ptr())
                             : PyNumber_InPlaceAdd(current.ptr(), amount.ptr());
    if (!out)
        throw nb::python_error();
    self.attr(name) = nb::steal(out);
}

/// The code's statistics after a covering deal, in the ledger's order.
void book_cover_statistics(nb::handle info, const CoverOutcome &outcome, nb::handle profit) {
    const LedgerKeys &k = ledger_keys();
    const core::ledger::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;
    add_to(info, k.entry_amount, sum_or_int_zero(summed, totals.entry_total));
    add_to(info, k.exit_amount, sum_or_int_zero(summed, totals.exit_total));
    add_to(info, k.extra_fee, sum_or_int_zero(summed, totals.cost));
    add_to(info, k.profit, profit);
    add_to(info, k.net_profit, nb::int_(0)); // the cover result's origin_profit
    nb::int_ one(1);
    add_to(info, k.cover_times, one);
    // A cover that earns exactly nothing counts as a loss.
    bool gained = summed && totals.profit > 0;
    add_to(info, gained ? k.profit_times : k.loss_times, one);
    add_to(info, gained ? k.profit_total : k.loss_total, profit);
}

/// A futures leg the installed rules margin instead of paying its value in full.
bool margined_leg(nb::handle self, nb::handle code, nb::handle product_type) {
    return margined_terms(installed_rules(self), code, text_equals(product_type, "Future"));
}

double margin_per_contract(nb::handle self, nb::handle code) {
    return margined_terms(installed_rules(self), code, true)->original_margin;
}

/// Books a deal against the opposite side. Returns true when nothing is left to open.
bool cover(nb::handle self, nb::handle code, nb::handle entry, nb::handle product_type,
           const std::string &capital_before) {
    const LedgerKeys &k = ledger_keys();
    CoverOutcome outcome = calculate_profit(self, entry, product_type);
    const core::ledger::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;
    nb::object profit = sum_or_int_zero(summed, totals.profit);

    add_to(self.attr(k._profit_report), k.profit, profit);
    bool covered = outcome.remaining == 0;
    if (!covered)
        set_item(entry, k.quantity, nb::int_(outcome.remaining));

    book_cover_statistics(item(self.attr(k._account_infos), code), outcome, profit);
    nb::object back = sum_or_int_zero(
        summed, core::ledger::capital_back_on_cover(outcome.covering_short, totals));
    if (summed && margined_leg(self, code, product_type))
        back = nb::float_(core::ledger::margined_cash_back(
            outcome.covering_short, totals.entry_total, totals.exit_total, totals.exit_cost_total));
    add_to_attribute(self, k.current_capital, back, false);

    std::string line =
        outcome.covering_short ? "[bold yellow][做空沖銷]本金: " : "[bold yellow][做多沖銷]本金: ";
    line += capital_before;
    line += outcome.covering_short ? ", 出場價金: " : ", 回收價金: ";
    line += fstring(sum_or_int_zero(summed, totals.exit_total)) + ", 損益: " + fstring(profit) +
            ", 出場成本: " + fstring(sum_or_int_zero(summed, totals.exit_cost_total)) +
            "[/bold yellow]";
    print_line(nb::str(line.c_str(), line.size()));
    return covered;
}

void open_position(nb::handle self, nb::handle code, nb::handle entry, nb::handle product_type,
                   bool buying, const std::string &capital_before) {
    const LedgerKeys &k = ledger_keys();
    add_to(item(self.attr(k._account_infos), code), k.entry_times, nb::int_(1));
    LegCost cost =
        calculate_trade_cost(self, item(entry, k.code), item(entry, k.action), item(entry, k.price),
                             item(entry, k.quantity), product_type, true, false);
    double units = as_real(cost.min_qty, "min_qty");
    double fee = as_real(cost.fee, "fee");
    double fixed_cost = as_real(cost.fixed_cost, "per_trade_cost");
    double charged = core::ledger::entry_charge(cost.price, units, fee, fixed_cost);
    double entry_cost = fee + fixed_cost;
    const bool ruled = installed_rules(self) != nullptr;
    const bool margined = ruled && margined_leg(self, code, product_type);
    if (ruled) {
        double tax = as_real(cost.tax, "tax");
        charged = core::ledger::opening_cash(margined, cost.price * units, fee, tax, fixed_cost);
        entry_cost = (fee + tax) + fixed_cost;
    }
    add_to_attribute(self, k.current_capital, nb::float_(charged), true);

    std::string line = buying ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ";
    line += capital_before;
    line += buying ? ", 進場價金: " : ", 應付金額: ";
    line += py_float(cost.price * units) + ", 進場成本: " + py_float(entry_cost);
    if (margined)
        line += ", 保證金: " + py_float(core::ledger::original_margin(
                                   margin_per_contract(self, code), as_real(cost.qty, "quantity")));
    line += "[/bold pink1]";
    print_line(nb::str(line.c_str(), line.size()));

    append(item(item(self.attr(k.positions), code), buying ? k.buy : k.sell), entry);
}

void set_positions(nb::handle self, nb::handle trade, nb::handle product_type) {
    require_dict(trade, "trade");
    if (!PyUnicode_Check(product_type.ptr()))
        raise_arg_type("product_type", "str", product_type);
    check_deal(self, trade, product_type);
    const LedgerKeys &k = ledger_keys();
    nb::object code = item(trade, k.code);
    nb::object entry = deep_copy_record(trade);
    ensure_known_code(self, code, product_type);
    // Rendered now: the lines show the capital before this deal.
    std::string capital_before = fstring(self.attr(k.current_capital));

    bool buying = text_equals(item(entry, k.action), "Buy");
    nb::object opposite = item(item(self.attr(k.positions), code), buying ? k.sell : k.buy);
    if (core::ledger::open_or_cover(truthy(opposite)) == core::ledger::BookMove::CoverFirst &&
        cover(self, code, entry, product_type, capital_before))
        return;
    open_position(self, code, entry, product_type, buying, capital_before);
}

} // namespace

void register_book_methods(nb::class_<Positions> &cls) {
    cls.def("set_positions", &set_positions, nb::arg("trade"), nb::arg("product_type"),
            nb::sig("def set_positions(self, trade: dict, product_type: str) -> None"));
}

} // namespace quarvel::positions
