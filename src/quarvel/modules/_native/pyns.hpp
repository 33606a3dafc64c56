#pragma once
// Module-level names (console, logger, BASIC_INFO, ...) looked up at call time on the
// extension module, never cached in C++ statics: monkeypatching and interpreter shutdown
// both rely on it. GIL held in every function below.
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

#include "format.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// sys.modules[name] (borrowed), or nullptr with no error set when it is not loaded. Read
/// straight from the dict: PyImport_GetModule also probes the module's __spec__, which
/// raises and clears an error on every call. Hot paths pass an interned `name`.
inline PyObject *find_loaded_module(nb::handle name) {
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.ptr());
    if (!module && PyErr_Occurred())
        throw nb::python_error();
    return module;
}

/// The already imported module `name`; ImportError when it is not loaded.
inline nb::object loaded_module(const char *name) {
    PyObject *mod = find_loaded_module(nb::str(name));
    if (!mod) {
        PyErr_Format(PyExc_ImportError, "module %s is not loaded", name);
        throw nb::python_error();
    }
    return nb::borrow(mod);
}

/// A module-level name of `module`, read now.
inline nb::object module_attr(const char *module, const char *name) {
    return loaded_module(module).attr(name);
}

/// Copies `names` from the Python module `source` onto the extension module `m`, as
/// `from source import a, b` would; a missing name fails the import.
inline void import_names(nb::module_ &m, const char *source,
                         std::initializer_list<const char *> names) {
    nb::module_ src = nb::module_::import_(source);
    for (const char *name : names)
        m.attr(name) = src.attr(name);
}

/// console.print(text) through the module's `console` name.
inline void console_print(const char *module, const std::string &text) {
    module_attr(module, "console").attr("print")(nb::str(text.c_str(), text.size()));
}

/// logger.error(text) through the module's `logger` name.
inline void logger_error(const char *module, const std::string &text) {
    module_attr(module, "logger").attr("error")(nb::str(text.c_str(), text.size()));
}

/// BASIC_INFO.data_dir as it is set now.
inline std::string data_dir(const char *module) {
    return py_str(module_attr(module, "BASIC_INFO").attr("data_dir"));
}

/// Text of the exception held by `error`, as str(e) gives it.
inline std::string error_text(const nb::python_error &error) {
    return py_str(error.value());
}

/// The formatted traceback of `error`, as traceback.format_exc() would print it.
inline std::string error_traceback(const nb::python_error &error) {
    nb::object tb = nb::module_::import_("traceback");
    nb::object lines = tb.attr("format_exception")(error.value());
    return py_str(nb::str("").attr("join")(lines));
}

/// logger.error of the JSON record {"error", "traceback", "data"}; values the encoder
/// cannot handle are written with their repr so reporting an error never raises.
inline void log_error_record(const char *module, const std::string &error,
                             const std::string &traceback, nb::handle data) {
    nb::dict record;
    record["error"] = nb::str(error.c_str(), error.size());
    record["traceback"] = nb::str(traceback.c_str(), traceback.size());
    record["data"] = data;
    nb::object json = nb::module_::import_("json");
    nb::object builtins = nb::module_::import_("builtins");
    nb::object text = json.attr("dumps")(record, nb::arg("default") = builtins.attr("repr"));
    module_attr(module, "logger").attr("error")(text);
}

} // namespace quarvel::native
