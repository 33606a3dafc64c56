// The position book of Positions: set_positions opens positions or covers the opposite
// side first-in first-out, and books capital, statistics and the console lines.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/names.hpp"
#include "_native/pyns.hpp"
#include "account.hpp"
#include "core/cover_math.hpp"
#include "core/trade_cost.hpp"
#include "ledger.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

/// Values copy.deepcopy hands back unchanged: exact atomic builtins, and enum members
/// (Enum.__deepcopy__ returns the member itself).
class AtomicValues {
  public:
    bool contains(nb::handle value) {
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || value.is_none())
            return true;
        if (type == last_enum_type_)
            return true;
        if (!enum_deepcopy_.is_valid())
            enum_deepcopy_ = loaded_module("enum").attr("Enum").attr("__deepcopy__");
        nb::object copier =
            nb::getattr(nb::handle(reinterpret_cast<PyObject *>(type)), "__deepcopy__", nb::none());
        if (!copier.is(enum_deepcopy_))
            return false;
        last_enum_type_ = type;
        return true;
    }

  private:
    nb::object enum_deepcopy_;
    PyTypeObject *last_enum_type_ = nullptr;
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
    if (flat)
        return nb::steal(PyDict_Copy(trade.ptr()));
    return module_attr(kModule, "copy").attr("deepcopy")(trade);
}

/// setdefault without replacing: the book, the product type and the statistics of a code.
void ensure_known_code(nb::handle self, nb::handle code, nb::handle product_type) {
    auto add_if_absent = [&](const char *attribute, auto make_value) {
        nb::object mapping = self.attr(attribute);
        int known = PySequence_Contains(mapping.ptr(), code.ptr());
        if (known < 0)
            throw nb::python_error();
        if (!known)
            mapping[code] = make_value();
    };
    add_if_absent("positions", [] {
        nb::dict book;
        book["buy"] = nb::list();
        book["sell"] = nb::list();
        return nb::object(book);
    });
    add_if_absent("product_type_mapper", [&] { return nb::borrow(product_type); });
    add_if_absent("_account_infos", [] { return nb::object(make_account_info()); });
}

/// mapping[key] += amount, with Python's own arithmetic on the stored value.
void add_to(nb::handle mapping, const char *key, nb::handle amount) {
    PyObject *sum = PyNumber_InPlaceAdd(nb::object(mapping[key]).ptr(), amount.ptr());
    if (!sum)
        throw nb::python_error();
    mapping[key] = nb::steal(sum);
}

void add_to_attribute(nb::handle self, const char *name, nb::handle amount, bool subtract) {
    nb::object current = self.attr(name);
    PyObject *out = subtract ? PyNumber_InPlaceSubtract(current.ptr(), amount.ptr())
                             : PyNumber_InPlaceAdd(current.ptr(), amount.ptr());
    if (!out)
        throw nb::python_error();
    self.attr(name) = nb::steal(out);
}

void book_cover_statistics(nb::handle info, const nb::dict &result, bool gained) {
    add_to(info, "entry_amount", result["entry_total"]);
    add_to(info, "exit_amount", result["exit_total"]);
    add_to(info, "extra_fee", result["cost"]);
    add_to(info, "profit", result["profit"]);
    add_to(info, "net_profit", result["origin_profit"]);
    nb::int_ one(1);
    add_to(info, "cover_times", one);
    // A cover that earns exactly nothing counts as a loss.
    add_to(info, gained ? "profit_times" : "loss_times", one);
    add_to(info, gained ? "profit_total" : "loss_total", result["profit"]);
}

/// Books a deal against the opposite side. Returns true when nothing is left to open.
bool cover(nb::handle self, nb::handle code, nb::handle entry, nb::handle product_type,
           const std::string &capital_before) {
    CoverOutcome outcome = calculate_profit(self, entry, product_type);
    const nb::dict &result = outcome.result;
    const core::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;

    nb::object report = self.attr("_profit_report");
    add_to(report, "profit", result["profit"]);
    bool covered = PyObject_IsTrue(nb::object(result["is_covered"]).ptr()) == 1;
    if (!covered)
        entry["quantity"] = result["un_cover_qty"];

    bool gained = summed && totals.profit > 0;
    book_cover_statistics(self.attr("_account_infos")[code], result, gained);
    nb::object back =
        sum_or_int_zero(summed, core::capital_back_on_cover(outcome.covering_short, totals));
    add_to_attribute(self, "current_capital", back, false);

    std::string line =
        outcome.covering_short ? "[bold yellow][做空沖銷]本金: " : "[bold yellow][做多沖銷]本金: ";
    line += capital_before;
    line += outcome.covering_short ? ", 出場價金: " : ", 回收價金: ";
    line += fstring(result["exit_total"]) + ", 損益: " + fstring(result["profit"]) +
            ", 出場成本: " + fstring(result["exit_cost_total"]) + "[/bold yellow]";
    console_print(kModule, line);
    return covered;
}

void open_position(nb::handle self, nb::handle code, nb::handle entry, nb::handle product_type,
                   bool buying, const std::string &capital_before) {
    add_to(self.attr("_account_infos")[code], "entry_times", nb::int_(1));
    LegCost cost = calculate_trade_cost(self, entry["code"], entry["action"], entry["price"],
                                        entry["quantity"], product_type, true, false);
    double value = cost.price * as_real(cost.min_qty, "min_qty");
    double fee = as_real(cost.fee, "fee");
    double fixed_cost = as_real(cost.fixed_cost, "per_trade_cost");
    double charged =
        core::entry_charge(cost.price, as_real(cost.min_qty, "min_qty"), fee, fixed_cost);
    add_to_attribute(self, "current_capital", nb::float_(charged), true);

    std::string line = buying ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ";
    line += capital_before;
    line += buying ? ", 進場價金: " : ", 應付金額: ";
    line += py_float(value) + ", 進場成本: " + py_float(fee + fixed_cost) + "[/bold pink1]";
    console_print(kModule, line);

    self.attr("positions")[code][buying ? "buy" : "sell"].attr("append")(entry);
}

void set_positions(nb::handle self, nb::handle trade, nb::handle product_type) {
    require_dict(trade, "trade");
    if (!PyUnicode_Check(product_type.ptr()))
        raise_arg_type("product_type", "str", product_type);
    nb::object code = trade["code"];
    ensure_known_code(self, code, product_type);
    nb::object entry = deep_copy_record(trade);
    // Rendered now: the lines show the capital before this deal.
    std::string capital_before = fstring(self.attr("current_capital"));

    bool buying = text_equals(entry["action"], "Buy");
    nb::object opposite = self.attr("positions")[code][buying ? "sell" : "buy"];
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
