#pragma once
// Small conversions the ledger bindings share: Python equality with a fixed text, numbers
// as doubles, and text as an f-string placeholder renders a value. GIL held throughout.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>

#include "_native/args.hpp"
#include "_native/format.hpp"

namespace quarvel::positions {
namespace nb = nanobind;

/// `value == text` as Python evaluates it: an exact str natively, anything else (str
/// enums included) through its own equality.
inline bool text_equals(nb::handle value, const char *ascii_text) {
    if (PyUnicode_CheckExact(value.ptr()))
        return PyUnicode_CompareWithASCIIString(value.ptr(), ascii_text) == 0;
    nb::str text(ascii_text);
    int equal = PyObject_RichCompareBool(value.ptr(), text.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal == 1;
}

/// A number taking part in ledger arithmetic, as a double: ints and floats (and their
/// subclasses) only, as Python's float arithmetic would accept them.
inline double as_real(nb::handle value, const char *what) {
    if (PyFloat_Check(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr())) {
        double out = PyLong_AsDouble(value.ptr());
        if (out == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return out;
    }
    native::raise_arg_type(what, "int or float", value);
}

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
