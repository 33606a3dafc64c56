#pragma once
// The one place where failures become Python exceptions. GIL held.
#include <nanobind/nanobind.h>

#include <string>

#include "../_core/error.hpp"

namespace quarvel::native {
namespace nb = nanobind;

[[noreturn]] inline void raise_value_error(const std::string &message) {
    throw nb::value_error(message.c_str());
}

/// The plain `Exception` that several messages of the system call for.
[[noreturn]] inline void raise_exception(const std::string &message) {
    PyErr_SetString(PyExc_Exception, message.c_str());
    throw nb::python_error();
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
