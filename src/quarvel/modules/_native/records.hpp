#pragma once
// Records (dicts of str keys, made and read by the bindings): item access with the dict
// fast path, the values they hold as C++ numbers, and the flat deep copy. Arguments a
// caller passes are checked with args.hpp instead (exact types); a record's values follow
// Python's own conversions. GIL held in every function below.
#include <nanobind/nanobind.h>

#include <vector>

#include "args.hpp"
#include "interned.hpp"
#include "private_api.hpp"
#include "pyns.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// mapping[key]: the dict fast path for exact dicts, Python's item access otherwise
/// (KeyError and all).
inline nb::object item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr()); // borrowed
        if (value)
            return nb::borrow(value);
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    PyObject *value = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// mapping[key] = value.
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int failed = PyDict_CheckExact(mapping.ptr())
                     ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                     : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (failed)
        throw nb::python_error();
}

/// sequence.append(value), natively for exact lists.
inline void append(nb::handle sequence, nb::handle value) {
    if (PyList_CheckExact(sequence.ptr())) {
        if (PyList_Append(sequence.ptr(), value.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    sequence.attr("append")(value);
}

/// obj.<name> for an interned `name`.
inline nb::object attr_of(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

/// bool(value), errors of __bool__ raised.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

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

/// A number taking part in arithmetic, as a double: ints and floats (and their subclasses)
/// only, as Python's float arithmetic would accept them; TypeError naming `what` otherwise.
inline double as_real(nb::handle value, const char *what) {
    if (PyFloat_Check(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr())) {
        double out = PyLong_AsDouble(value.ptr());
        if (out == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return out;
    }
    raise_arg_type(what, "int or float", value);
}

/// float(value) for anything with __float__, as the matcher's price comparisons read it.
inline double float_of(nb::handle value) {
    double out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return out;
}

/// An integer value (anything with __index__) as 64 bits; OverflowError beyond.
inline long long int64_of(nb::handle value) {
    long long out = PyLong_AsLongLong(value.ptr());
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return out;
}

/// The copy of `record` that copy.deepcopy would give, made natively when the record is
/// flat (an exact dict of str keys and values deepcopy hands back unchanged: exact atomic
/// builtins and enum members); null otherwise, for the caller's copy.deepcopy.
inline nb::object flat_deep_copy(nb::handle record) {
    if (!PyDict_CheckExact(record.ptr()))
        return {};
    static const nb::handle name = intern_forever("__deepcopy__");
    static const nb::handle enum_module_name = intern_forever("enum");
    static const nb::handle enum_class_name = intern_forever("Enum");
    nb::object enum_copier; // Enum.__deepcopy__, which returns the member itself
    std::vector<PyTypeObject *> enum_types;
    auto shared = [&](PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
            type == &PyBool_Type || value == Py_None)
            return true;
        for (PyTypeObject *seen : enum_types)
            if (seen == type)
                return true;
        if (!enum_copier.is_valid()) {
            PyObject *enum_module = find_loaded_module(enum_module_name);
            if (!enum_module)
                return false; // enum never imported: no value can be a member
            nb::object enum_class = attr_of(enum_module, enum_class_name);
            if (!PyType_Check(enum_class.ptr()))
                return false;
            enum_copier = type_attribute(reinterpret_cast<PyTypeObject *>(enum_class.ptr()), name);
            if (!enum_copier.is_valid())
                return false;
        }
        nb::object copier = type_attribute(type, name);
        if (!copier.is(enum_copier))
            return false;
        enum_types.push_back(type);
        return true;
    };
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(record.ptr(), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) || !shared(value))
            return {};
    PyObject *copied = PyDict_Copy(record.ptr());
    if (!copied)
        throw nb::python_error();
    return nb::steal(copied);
}

} // namespace quarvel::native
