#pragma once
// Text that is stored to be written out later must encode as UTF-8 now: one lone
// surrogate in a journal would make every later export of it fail. GIL held.
#include <nanobind/nanobind.h>

#include <string>

#include "errors.hpp"
#include "format.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// ValueError "無法以 UTF-8 編碼的 <arg>: <repr>" for a str holding a lone surrogate;
/// any other value passes (its type is checked elsewhere, or it is stored as given).
inline void require_encodable(nb::handle value, const char *arg) {
    if (!PyUnicode_Check(value.ptr()) || PyUnicode_AsUTF8AndSize(value.ptr(), nullptr))
        return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    raise_value_error(std::string("無法以 UTF-8 編碼的 ") + arg + ": " + py_repr(value));
}

} // namespace quarvel::native
