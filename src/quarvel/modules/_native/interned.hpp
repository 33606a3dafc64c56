#pragma once
// Interned keys: the dict keys and attribute names a module reads and writes on every tick
// or deal. Making a str from a C string per access costs more than the dict operation
// itself (a new object, its UTF-8 decoding, its hash); an interned str is made once and
// also matches Python's literal keys on identity. Each module declares one table:
//
//     struct LedgerKeys { QV_LEDGER_KEYS(QV_INTERNED_KEY) };
//     const LedgerKeys &k = native::interned<LedgerKeys>();
//
// The strings are made once and deliberately never released (a process-lifetime constant,
// like the interpreter's own interned literals), so nothing is left to destroy after the
// interpreter shuts down. GIL held in every function below.
#include <nanobind/nanobind.h>

namespace quarvel::native {
namespace nb = nanobind;

/// The interned str of `text`, never released.
inline nb::handle intern_forever(const char *text) {
    PyObject *key = PyUnicode_InternFromString(text);
    if (!key)
        throw nb::python_error();
    return key;
}

/// The module's table of interned keys, made on first use.
template <class Table> const Table &interned() {
    static const Table table;
    return table;
}

} // namespace quarvel::native

/// A table member named as its key: QV_INTERNED_KEY(code) is the key "code".
#define QV_INTERNED_KEY(name) nb::handle name = ::quarvel::native::intern_forever(#name);
/// A table member whose key is not a C++ name: QV_INTERNED_TEXT(dunder_deepcopy, "__deepcopy__").
#define QV_INTERNED_TEXT(name, text) nb::handle name = ::quarvel::native::intern_forever(text);
