// Account-level methods of Positions: capital, fee settings and the latest tick per code.
#include "_core/input_rules.hpp"
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/interned.hpp"
#include "_native/mangled.hpp"
#include "account.hpp"
#include "bindings.hpp"
#include "ledger_rules.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

// clang-format off
#define QV_ACCOUNT_NAMES(X) X(code) X(current_tick_infos)
// clang-format on
/// Names read on every tick.
struct AccountNames {
    QV_ACCOUNT_NAMES(QV_INTERNED_KEY)
};

struct FamilyDefaults {
    const char *name;
    double fee;
    double tax;
};

constexpr FamilyDefaults kFamilies[] = {{"stock", 0.001425, 0.003}, {"future", 0.00002, 0.00002}};
constexpr long kSlippageTicks = 3;

nb::dict make_slippage(long tick_count, const char *direction) {
    nb::dict entry;
    entry["tick_count"] = tick_count;
    entry["direction"] = direction;
    return entry;
}

/// `value == word` for the words the settings know; values of any other type are not equal.
bool text_is(nb::handle value, const char *word) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), word) == 0;
}

void update_fee_settings(nb::handle self, nb::handle setting_type, nb::handle action,
                         nb::handle fee, nb::handle tax, nb::handle per_trade_cost,
                         nb::handle tick_count, nb::handle direction) {
    require_str(setting_type, "setting_type");
    // Only the stored numbers are type-checked: a side or direction that is not one of its
    // words is passed over below, like any other unknown word.
    require_float(fee, "fee", true);
    require_float(tax, "tax", true);
    require_int(per_trade_cost, "per_trade_cost", true);
    require_int(tick_count, "tick_count", true);
    if (!tick_count.is_none())
        core::input_rules::check_slippage_ticks(require_int64(tick_count, "tick_count"));

    nb::object settings = self.attr("_fee_settings");
    int known = PySequence_Contains(settings.ptr(), setting_type.ptr());
    if (known < 0)
        throw nb::python_error();
    if (!known)
        raise_value_error("不支援的商品類型: " + py_str(setting_type));
    nb::object family = settings[setting_type];
    if (!fee.is_none())
        family["fee"] = fee;
    if (!tax.is_none())
        family["tax"] = tax;
    if (!per_trade_cost.is_none())
        family["per_trade_cost"] = per_trade_cost;

    if (!text_is(action, "buy") && !text_is(action, "sell"))
        return;
    nb::object slippage = family["slippage"][action];
    if (!tick_count.is_none())
        slippage["tick_count"] = tick_count;
    if (text_is(direction, "up") || text_is(direction, "down"))
        slippage["direction"] = direction;
}

} // namespace

nb::dict make_fee_settings(long per_trade_cost) {
    nb::dict settings;
    for (const FamilyDefaults &family : kFamilies) {
        nb::dict slippage;
        slippage["buy"] = make_slippage(kSlippageTicks, "up");
        slippage["sell"] = make_slippage(kSlippageTicks, "down");
        nb::dict entry;
        entry["fee"] = family.fee;
        entry["tax"] = family.tax;
        entry["per_trade_cost"] = per_trade_cost;
        entry["slippage"] = slippage;
        settings[family.name] = entry;
    }
    return settings;
}

nb::dict make_account_info() {
    nb::dict info;
    for (const char *key :
         {"entry_times", "cover_times", "entry_amount", "exit_amount", "net_profit", "extra_fee",
          "profit_times", "loss_times", "profit_total", "loss_total", "profit"})
        info[key] = 0;
    return info;
}

void register_account_methods(nb::class_<Positions> &cls) {
    cls.def(
        QV_PRIVATE(Positions, init_account_info), [](nb::handle) { return make_account_info(); },
        nb::sig("def _Positions__init_account_info(self) -> dict"));

    cls.def_prop_ro(
        "fee_settings",
        [](nb::handle self) {
            nb::object settings = self.attr("_fee_settings");
            require_dict(settings, "_fee_settings", true);
            return settings;
        },
        nb::sig("def fee_settings(self) -> dict"));

    cls.def(
        "reset_fee_settings",
        [](nb::handle self) { self.attr("_fee_settings") = make_fee_settings(10); },
        nb::sig("def reset_fee_settings(self) -> None"));

    cls.def("update_fee_settings", &update_fee_settings, nb::arg("setting_type"),
            nb::arg("action") = nb::none(), nb::arg("fee") = nb::none(),
            nb::arg("tax") = nb::none(), nb::arg("per_trade_cost") = nb::none(),
            nb::arg("tick_count") = nb::none(), nb::arg("direction") = nb::none(),
            nb::sig("def update_fee_settings(self, setting_type: str, action: str | None = None, "
                    "fee: float | None = None, tax: float | None = None, "
                    "per_trade_cost: int | None = None, tick_count: int | None = None, "
                    "direction: str | None = None) -> None"));

    cls.def(
        "set_initial_capital",
        [](nb::handle self, nb::handle capital) {
            require_int(capital, "capital");
            self.attr("initial_capital") = capital;
            self.attr("current_capital") = capital;
        },
        nb::arg("capital"), nb::sig("def set_initial_capital(self, capital: int) -> None"));

    cls.def(
        "fetch_account_balance", [](nb::handle self) { return self.attr("current_capital"); },
        nb::sig("def fetch_account_balance(self) -> int | float"));
    cls.def(
        "fetch_margin",
        [](nb::handle self) -> nb::object {
            if (const core::ledger::TaiwanRulesTable *rules = installed_rules(self))
                return margin_report(self, *rules);
            return self.attr("current_capital");
        },
        nb::sig("def fetch_margin(self) -> int | float | dict"));

    cls.def(
        "set_current_tick",
        [](nb::handle self, nb::handle tick) {
            require_dict(tick, "tick");
            store_current_tick(self, tick, tick[nb::handle(interned<AccountNames>().code)]);
        },
        nb::arg("tick"), nb::sig("def set_current_tick(self, tick: dict) -> None"));
}

void store_current_tick(nb::handle self, nb::handle tick, nb::handle code) {
    const nb::handle name = interned<AccountNames>().current_tick_infos;
    // Kept for the life of the process.
    static PyTypeObject *const positions_type =
        reinterpret_cast<PyTypeObject *>(nb::type<Positions>().ptr());
    nb::object infos = PyObject_TypeCheck(self.ptr(), positions_type)
                           ? nb::inst_ptr<Positions>(self)->tick_infos.get(self, name)
                           : self.attr(name);
    infos[code] = tick;
}

} // namespace quarvel::positions
