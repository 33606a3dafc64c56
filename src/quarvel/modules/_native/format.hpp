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

inline std::string py_int(long long value) {
    return std::to_string(value);
}

/// The UTF-8 bytes of a str object, embedded NULs kept. A lone surrogate (valid in a Python
/// str, not in UTF-8) is written as its backslash escape instead of failing.
inline std::string utf8_text(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(data, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace");
    if (!bytes)
        throw nb::python_error();
    nb::object owned = nb::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

/// str(obj), as an f-string placeholder renders an object.
inline std::string py_str(nb::handle obj) {
    return utf8_text(nb::str(obj));
}

/// repr(obj), as Python prints a value inside a container.
inline std::string py_repr(nb::handle obj) {
    PyObject *text = PyObject_Repr(obj.ptr());
    if (!text)
        throw nb::python_error();
    return utf8_text(nb::steal<nb::str>(text));
}

} // namespace quarvel::native
