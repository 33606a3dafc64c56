#pragma once
// Interned names of every dict key and attribute the ledger touches. A deal looks up about
// a hundred of them; making each one afresh would mean a new str, its UTF-8 decoding and
// its hash per lookup. The strings are made once and deliberately never released (a
// process-lifetime constant, like the interpreter's own interned literals), so nothing
// is left to destroy after the interpreter shuts down. GIL held throughout.
#include <nanobind/nanobind.h>

#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::positions {
namespace nb = nanobind;

// clang-format off
#define QV_LEDGER_NAMES(X)                                                                     \
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
    X(FutureIndexContractValue) X(copy) X(deepcopy)
// clang-format on

struct LedgerNames {
#define QV_DECLARE_NAME(name) nb::handle name;
    QV_LEDGER_NAMES(QV_DECLARE_NAME)
#undef QV_DECLARE_NAME
    nb::handle module_name;     ///< the extension module's import name
    nb::handle dunder_deepcopy; ///< "__deepcopy__"
    nb::handle enum_module;     ///< "enum"
    nb::handle enum_class;      ///< "Enum"
};

/// The interned names, made on first use.
inline const LedgerNames &names() {
    static const LedgerNames table = [] {
        LedgerNames out;
#define QV_MAKE_NAME(name) out.name = nb::handle(PyUnicode_InternFromString(#name));
        QV_LEDGER_NAMES(QV_MAKE_NAME)
#undef QV_MAKE_NAME
        out.module_name = nb::handle(PyUnicode_InternFromString(kModule));
        out.dunder_deepcopy = nb::handle(PyUnicode_InternFromString("__deepcopy__"));
        out.enum_module = nb::handle(PyUnicode_InternFromString("enum"));
        out.enum_class = nb::handle(PyUnicode_InternFromString("Enum"));
        return out;
    }();
    return table;
}

/// A new dict with room for `keys` entries, so a record built key by key never resizes.
inline nb::dict presized_dict(Py_ssize_t keys) {
    PyObject *dict = _PyDict_NewPresized(keys);
    if (!dict)
        throw nb::python_error();
    return nb::steal<nb::dict>(dict);
}

/// mapping[key]: the dict fast path for exact dicts, Python's item access otherwise
/// (KeyError and all).
inline nb::object item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value)
            return nb::borrow(value);
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    PyObject *value = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// mapping[key] = value.
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int failed = PyDict_CheckExact(mapping.ptr())
                     ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                     : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (failed)
        throw nb::python_error();
}

/// sequence.append(value), natively for exact lists.
inline void append(nb::handle sequence, nb::handle value) {
    if (PyList_CheckExact(sequence.ptr())) {
        if (PyList_Append(sequence.ptr(), value.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    sequence.attr("append")(value);
}

/// A module-level name of this extension module, read now (monkeypatching works).
inline nb::object module_name_value(nb::handle attribute) {
    PyObject *module = native::find_loaded_module(names().module_name);
    if (!module) {
        PyErr_SetString(PyExc_ImportError, "the positions module is not loaded");
        throw nb::python_error();
    }
    return nb::handle(module).attr(attribute);
}

/// console.print(text) through the module-level name, read now.
inline void print_line(nb::handle text) {
    nb::object console = module_name_value(names().console);
    PyObject *result = PyObject_CallMethodOneArg(console.ptr(), names().print.ptr(), text.ptr());
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

} // namespace quarvel::positions
