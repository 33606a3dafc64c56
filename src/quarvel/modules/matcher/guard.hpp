#pragma once
// Guarded blocks: run a step, and turn any error it raises into the Python exception a
// Python `except Exception as e` would see, so its text and traceback can be reported.
// GIL held.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "_core/error.hpp"
#include "_native/pyns.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

struct CaughtError {
    std::string text;      // str(e)
    std::string traceback; // the formatted traceback of e
};

namespace detail {

inline PyObject *python_type_of(nb::exception_type type) {
    switch (type) {
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

inline CaughtError caught(const nb::python_error &e) {
    return {native::error_text(e), native::error_traceback(e)};
}

inline CaughtError caught_as_python(PyObject *type, const char *what) {
    PyErr_SetString(type, what);
    return caught(nb::python_error());
}

} // namespace detail

/// Runs `step`; returns the error it raised, if any. Python errors that are not
/// `Exception`s (KeyboardInterrupt, SystemExit) pass through, as do C++ unwinds that are
/// not errors at all (thread cancellation at interpreter exit).
template <class Step> std::optional<CaughtError> run_guarded(Step &&step) {
    try {
        step();
        return std::nullopt;
    } catch (const nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return detail::caught(e);
    } catch (const nb::builtin_exception &e) {
        return detail::caught_as_python(detail::python_type_of(e.type()), e.what());
    } catch (const quarvel::core::Error &e) {
        return detail::caught_as_python(PyExc_ValueError, e.what());
    }
}

} // namespace quarvel::matcher
