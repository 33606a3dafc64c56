#pragma once
// Interned keys of every dict key and attribute the ledger touches: a deal looks up about
// a hundred of them (see _native/interned.hpp). GIL held throughout.
#include <nanobind/nanobind.h>

#include "_native/interned.hpp"
#include "_native/pyns.hpp"
#include "_native/records.hpp"
#include "bindings.hpp"

namespace quarvel::positions {
namespace nb = nanobind;

// clang-format off
#define QV_LEDGER_KEYS(X)                                                                     \
    X(fee) X(tax) X(fixed_cost) X(qty) X(min_qty) X(price) X(origin_price) X(stock)            \
    X(future) X(slippage) X(tick_count) X(direction) X(per_trade_cost) X(code) X(action)       \
    X(quantity) X(exchange_ts) X(buy) X(sell) X(rows) X(profit) X(entry_action) X(entry_dt)    \
    X(entry_price) X(entry_origin_price) X(exit_action) X(exit_dt) X(exit_price)               \
    X(exit_origin_price) X(trade_cost) X(cover_cost) X(cover_cost_fee) X(cover_cost_tax)       \
    X(cover_cost_fixed) X(trade_cost_fee) X(trade_cost_tax) X(trade_cost_fixed)                \
    X(profit_ratio) X(entry_amount) X(exit_amount) X(entry_total) X(exit_total)                \
    X(origin_profit) X(entry_cost_total) X(exit_cost_total) X(cost) X(is_covered)              \
    X(un_cover_qty) X(entry_times) X(cover_times) X(net_profit) X(extra_fee) X(profit_times)   \
    X(loss_times) X(profit_total) X(loss_total) X(positions) X(product_type_mapper)            \
    X(current_capital) X(console) X(print) X(trade_id) X(dt) X(trade_status)                   \
    X(trade_records) X(_profit_report) X(_fee_settings) X(_account_infos)                      \
    X(FutureIndexContractValue) X(copy) X(deepcopy) X(_market_rules) X(_market_rules_table)
// clang-format on

struct LedgerKeys {
    QV_LEDGER_KEYS(QV_INTERNED_KEY)
    QV_INTERNED_TEXT(module_import_name, kModule) ///< the extension module's import name
};

/// The interned keys, made on first use.
inline const LedgerKeys &ledger_keys() {
    return native::interned<LedgerKeys>();
}

/// A module-level name of this extension module, read now (monkeypatching works).
inline nb::object module_global(nb::handle attribute) {
    PyObject *module = native::find_loaded_module(ledger_keys().module_import_name);
    if (!module) {
        PyErr_SetString(PyExc_ImportError, "the positions module is not loaded");
        throw nb::python_error();
    }
    return nb::handle(module).attr(attribute);
}

/// console.print(text) through the module-level name, read now.
inline void print_line(nb::handle text) {
    nb::object console = module_global(ledger_keys().console);
    PyObject *result =
        PyObject_CallMethodOneArg(console.ptr(), ledger_keys().print.ptr(), text.ptr());
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

} // namespace quarvel::positions
