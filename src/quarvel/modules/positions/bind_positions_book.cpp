// The position book of Positions: set_positions opens positions or covers the opposite
// side first-in first-out, and books capital, statistics and the console lines.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/names.hpp"
#include "account.hpp"
#include "core/cover_math.hpp"
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

/// Values copy.deepcopy hands back unchanged: exact atomic builtins, and enum members
/// (Enum.__deepcopy__ returns the member itself). Types are searched along their MRO
/// directly: going through getattr would run the enum metaclass's attribute hooks.
class AtomicValues {
  public:
    bool contains(nb::handle value) {
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || value.is_none())
            return true;
        if (!enum_deepcopy_ && !find_enum_deepcopy())
            return false;
        const LedgerNames &n = names();
        return _PyType_Lookup(type, n.dunder_deepcopy.ptr()) == enum_deepcopy_;
    }

  private:
    bool find_enum_deepcopy() {
        const LedgerNames &n = names();
        PyObject *enum_module = native::find_loaded_module(n.enum_module);
        if (!enum_module)
            return false; // enum never imported: no value can be a member
        nb::object enum_class = nb::handle(enum_module).attr(n.enum_class);
        if (!PyType_Check(enum_class.ptr()))
            return false;
        // Borrowed: Enum's own class dict keeps the function alive while we look.
        enum_deepcopy_ = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(enum_class.ptr()),
                                        n.dunder_deepcopy.ptr());
        return enum_deepcopy_ != nullptr;
    }

    PyObject *enum_deepcopy_ = nullptr;
};

/// copy.deepcopy(trade). A flat record of atomic values (what the matcher sends) deep
/// copies to a new dict holding the same values, so that case is done natively.
nb::object deep_copy_record(nb::handle trade) {
    AtomicValues atomic;
    bool flat = true;
    for (auto [key, value] : nb::borrow<nb::dict>(trade)) {
        if (Py_TYPE(key.ptr()) != &PyUnicode_Type || !atomic.contains(value)) {
            flat = false;
            break;
        }
    }
    if (flat) {
        PyObject *copy = PyDict_Copy(trade.ptr());
        if (!copy)
            throw nb::python_error();
        return nb::steal(copy);
    }
    return module_name_value(names().copy).attr(names().deepcopy)(trade);
}

/// setdefault without replacing: the book, the product type and the statistics of a code.
void ensure_known_code(nb::handle self, nb::handle code, nb::handle product_type) {
    const LedgerNames &n = names();
    auto add_if_absent = [&](nb::handle attribute, auto make_value) {
        nb::object mapping = self.attr(attribute);
        int known = PySequence_Contains(mapping.ptr(), code.ptr());
        if (known < 0)
            throw nb::python_error();
        if (!known)
            set_item(mapping, code, make_value());
    };
    add_if_absent(n.positions, [&] {
        nb::dict book;
        set_item(book, n.buy, nb::list());
        set_item(book, n.sell, nb::list());
        return nb::object(book);
    });
    add_if_absent(n.product_type_mapper, [&] { return nb::borrow(product_type); });
    add_if_absent(n._account_infos, [] { return nb::object(make_account_info()); });
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
    const LedgerNames &n = names();
    const core::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;
    add_to(info, n.entry_amount, sum_or_int_zero(summed, totals.entry_total));
    add_to(info, n.exit_amount, sum_or_int_zero(summed, totals.exit_total));
    add_to(info, n.extra_fee, sum_or_int_zero(summed, totals.cost));
    add_to(info, n.profit, profit);
    add_to(info, n.net_profit, nb::int_(0)); // the cover result's origin_profit
    nb::int_ one(1);
    add_to(info, n.cover_times, one);
    // A cover that earns exactly nothing counts as a loss.
    bool gained = summed && totals.profit > 0;
    add_to(info, gained ? n.profit_times : n.loss_times, one);
    add_to(info, gained ? n.profit_total : n.loss_total, profit);
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
    const LedgerNames &n = names();
    CoverOutcome outcome = calculate_profit(self, entry, product_type);
    const core::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;
    nb::object profit = sum_or_int_zero(summed, totals.profit);

    add_to(self.attr(n._profit_report), n.profit, profit);
    bool covered = outcome.remaining == 0;
    if (!covered)
        set_item(entry, n.quantity, nb::int_(outcome.remaining));

    book_cover_statistics(item(self.attr(n._account_infos), code), outcome, profit);
    nb::object back =
        sum_or_int_zero(summed, core::capital_back_on_cover(outcome.covering_short, totals));
    if (summed && margined_leg(self, code, product_type))
        back = nb::float_(core::margined_cash_back(outcome.covering_short, totals.entry_total,
                                                   totals.exit_total, totals.exit_cost_total));
    add_to_attribute(self, n.current_capital, back, false);

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
    const LedgerNames &n = names();
    add_to(item(self.attr(n._account_infos), code), n.entry_times, nb::int_(1));
    LegCost cost =
        calculate_trade_cost(self, item(entry, n.code), item(entry, n.action), item(entry, n.price),
                             item(entry, n.quantity), product_type, true, false);
    double units = as_real(cost.min_qty, "min_qty");
    double fee = as_real(cost.fee, "fee");
    double fixed_cost = as_real(cost.fixed_cost, "per_trade_cost");
    double charged = core::entry_charge(cost.price, units, fee, fixed_cost);
    double entry_cost = fee + fixed_cost;
    const bool ruled = installed_rules(self) != nullptr;
    const bool margined = ruled && margined_leg(self, code, product_type);
    if (ruled) {
        double tax = as_real(cost.tax, "tax");
        charged = core::opening_cash(margined, cost.price * units, fee, tax, fixed_cost);
        entry_cost = (fee + tax) + fixed_cost;
    }
    add_to_attribute(self, n.current_capital, nb::float_(charged), true);

    std::string line = buying ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ";
    line += capital_before;
    line += buying ? ", 進場價金: " : ", 應付金額: ";
    line += py_float(cost.price * units) + ", 進場成本: " + py_float(entry_cost);
    if (margined)
        line += ", 保證金: " + py_float(core::original_margin(margin_per_contract(self, code),
                                                              as_real(cost.qty, "quantity")));
    line += "[/bold pink1]";
    print_line(nb::str(line.c_str(), line.size()));

    append(item(item(self.attr(n.positions), code), buying ? n.buy : n.sell), entry);
}

void set_positions(nb::handle self, nb::handle trade, nb::handle product_type) {
    require_dict(trade, "trade");
    if (!PyUnicode_Check(product_type.ptr()))
        raise_arg_type("product_type", "str", product_type);
    check_deal(self, trade, product_type);
    const LedgerNames &n = names();
    nb::object code = item(trade, n.code);
    nb::object entry = deep_copy_record(trade);
    ensure_known_code(self, code, product_type);
    // Rendered now: the lines show the capital before this deal.
    std::string capital_before = fstring(self.attr(n.current_capital));

    bool buying = text_equals(item(entry, n.action), "Buy");
    nb::object opposite = item(item(self.attr(n.positions), code), buying ? n.sell : n.buy);
    int has_opposite = PyObject_IsTrue(opposite.ptr());
    if (has_opposite < 0)
        throw nb::python_error();
    if (has_opposite && cover(self, code, entry, product_type, capital_before))
        return;
    open_position(self, code, entry, product_type, buying, capital_before);
}

} // namespace

void register_book_methods(nb::class_<Positions> &cls) {
    cls.def("set_positions", &set_positions, nb::arg("trade"), nb::arg("product_type"),
            nb::sig("def set_positions(self, trade: dict, product_type: str) -> None"));
}

} // namespace quarvel::positions
