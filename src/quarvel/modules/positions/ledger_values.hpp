#pragma once
// Small conversions the ledger bindings share: text as an f-string placeholder renders a
// value, and the sums and errors of Python's arithmetic. GIL held throughout.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>

#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/records.hpp"

namespace quarvel::positions {
namespace nb = nanobind;

/// f"{value}": format(value, "") for any object, the shortest round trip for floats.
inline std::string fstring(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return native::py_float(PyFloat_AS_DOUBLE(value.ptr()));
    PyObject *text = PyObject_Format(value.ptr(), nullptr);
    if (!text)
        throw nb::python_error();
    nb::str owned = nb::steal<nb::str>(text);
    return native::utf8(owned);
}

/// The integer 0 while nothing was summed, else the float sum (Python's 0 + float).
inline nb::object sum_or_int_zero(bool summed, double value) {
    if (!summed)
        return nb::int_(0);
    return nb::float_(value);
}

/// The error math.ceil raises for a price that is not a finite number.
[[noreturn]] inline void raise_not_finite(double value) {
    if (std::isnan(value))
        throw nb::value_error("cannot convert float NaN to integer");
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    throw nb::python_error();
}

} // namespace quarvel::positions
