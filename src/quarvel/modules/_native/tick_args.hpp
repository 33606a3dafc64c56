#pragma once
// Tick values checked against the core's input rules before anything is stored. GIL held.
#include <nanobind/nanobind.h>

#include <string>

#include "../_core/input_rules.hpp"
#include "errors.hpp"
#include "format.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// Refuses a tick time (seconds since the epoch) outside the accepted years. A value that
/// is not a number is left to the conversion that follows, which names its type.
inline void check_tick_time_arg(nb::handle timestamp) {
    const double seconds = PyFloat_AsDouble(timestamp.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) { // an int beyond any double
            PyErr_Clear();
            raise_value_error(std::string(core::input_rules::kTickTimeLabel) + ": " +
                              py_str(timestamp));
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return;
    }
    core::input_rules::check_tick_time(seconds);
}

} // namespace quarvel::native
