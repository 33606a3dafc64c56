#pragma once
// Exact-type argument checks shared by every binding. Converters are not trusted here:
// nanobind lets a bool through where an int is declared, Python semantics do not.
// GIL held in every function below.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace quarvel::native {
namespace nb = nanobind;

/// TypeError "<arg> must be <expected>, not <actual type name>".
[[noreturn]] inline void raise_arg_type(const char *arg, const char *expected, nb::handle value) {
    std::string message =
        std::string(arg) + " must be " + expected + ", not " + Py_TYPE(value.ptr())->tp_name;
    throw nb::type_error(message.c_str());
}

/// Checks that `value` is exactly `type` (a subclass is refused); None passes when `none_ok`.
inline void require_exact(nb::handle value, PyTypeObject *type, const char *arg,
                          bool none_ok = false) {
    if (Py_TYPE(value.ptr()) == type)
        return;
    if (none_ok && value.is_none())
        return;
    std::string expected = type->tp_name;
    if (none_ok)
        expected += " or None";
    raise_arg_type(arg, expected.c_str(), value);
}

inline void require_str(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyUnicode_Type, arg, none_ok);
}
inline void require_int(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyLong_Type, arg, none_ok);
}
inline void require_float(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyFloat_Type, arg, none_ok);
}
inline void require_dict(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyDict_Type, arg, none_ok);
}
inline void require_list(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyList_Type, arg, none_ok);
}
inline void require_bool(nb::handle v, const char *arg, bool none_ok = false) {
    require_exact(v, &PyBool_Type, arg, none_ok);
}

/// A real number (exact int or float; bool refused) as a double.
inline double require_real(nb::handle v, const char *arg) {
    PyTypeObject *t = Py_TYPE(v.ptr());
    if (t == &PyFloat_Type)
        return PyFloat_AS_DOUBLE(v.ptr());
    if (t == &PyLong_Type) {
        double d = PyLong_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return d;
    }
    raise_arg_type(arg, "int or float", v);
}

/// An exact int that fits 64 bits; larger values raise OverflowError rather than wrap.
inline long long require_int64(nb::handle v, const char *arg) {
    require_int(v, arg);
    long long out = PyLong_AsLongLong(v.ptr());
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return out;
}

/// The str value's UTF-8 text viewed in place, valid while the str lives (call after
/// require_str).
inline std::string_view utf8_view(nb::handle v) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string_view(data, static_cast<size_t>(size));
}

/// The str value as UTF-8 (call after require_str).
inline std::string utf8(nb::handle v) {
    return std::string(utf8_view(v));
}

} // namespace quarvel::native
