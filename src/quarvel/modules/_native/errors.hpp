#pragma once
// The one place where failures become Python exceptions. GIL held.
#include <nanobind/nanobind.h>

#include <string>

#include "../_core/error.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// Raises `type` with the UTF-8 `message`, embedded NULs kept (a C string would cut them).
[[noreturn]] inline void raise_with_text(PyObject *type, const std::string &message) {
    PyObject *text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "backslashreplace");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw nb::python_error();
}

[[noreturn]] inline void raise_value_error(const std::string &message) {
    raise_with_text(PyExc_ValueError, message);
}

/// The plain `Exception` that several messages of the system call for.
[[noreturn]] inline void raise_exception(const std::string &message) {
    raise_with_text(PyExc_Exception, message);
}

[[noreturn]] inline void raise_key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

/// Core errors surface as ValueError, never as nanobind's default RuntimeError.
inline void register_core_errors() {
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const quarvel::core::Error &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

} // namespace quarvel::native
