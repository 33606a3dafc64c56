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

/// The Python exception type a C++ failure stands for: a core error is a ValueError,
/// nanobind's builtin exceptions their own type, anything else a RuntimeError.
inline PyObject *python_type_of(const std::exception &error) {
    if (dynamic_cast<const quarvel::core::Error *>(&error))
        return PyExc_ValueError;
    auto *builtin = dynamic_cast<const nb::builtin_exception *>(&error);
    if (!builtin)
        return PyExc_RuntimeError;
    switch (builtin->type()) {
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
        return PyExc_TypeError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

/// The Python error of a C++ failure (see python_type_of), set as the current error.
inline nb::python_error as_python_error(const std::exception &error) {
    PyErr_SetString(python_type_of(error), error.what());
    return nb::python_error();
}

/// Core errors surface as ValueError, never as nanobind's default RuntimeError.
inline void register_core_errors() {
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const quarvel::core::Error &e) {
            PyErr_SetString(python_type_of(e), e.what());
        }
    });
}

} // namespace quarvel::native
