#pragma once
// Numbers rendered exactly as Python's f-strings render them. GIL held.
#include <nanobind/nanobind.h>

#include <string>

namespace quarvel::native {
namespace nb = nanobind;

/// Shortest round-trip text with a trailing ".0" for integral values: 603000.0, -1206.0, 1e+16.
inline std::string py_float(double value) {
    char *text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text)
        throw nb::python_error();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

inline std::string py_int(long long value) { return std::to_string(value); }

/// str(obj), as an f-string placeholder renders an object.
inline std::string py_str(nb::handle obj) {
    nb::str text = nb::str(obj);
    return std::string(text.c_str());
}

/// repr(obj), as Python prints a value inside a container.
inline std::string py_repr(nb::handle obj) {
    PyObject *text = PyObject_Repr(obj.ptr());
    if (!text)
        throw nb::python_error();
    nb::str owned = nb::steal<nb::str>(text);
    return std::string(owned.c_str());
}

} // namespace quarvel::native
