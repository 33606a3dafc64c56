// Record helpers: deep copies, look-ups by identifier and removal by identity.
#include "records.hpp"

#include <cstring>
#include <vector>

#include "_native/args.hpp"
#include "bindings.hpp"

namespace quarvel::matcher {

namespace {

/// Values copy.deepcopy hands back unchanged: exact atomic builtins, and enum members
/// (Enum.__deepcopy__ returns the member itself). Checks each value type once per copy.
class SharedOnCopy {
  public:
    explicit SharedOnCopy(const Fields &f) : f_(f) {}

    bool contains(PyObject *v) {
        PyTypeObject *t = Py_TYPE(v);
        if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
            v == Py_None)
            return true;
        for (PyTypeObject *seen : enum_types_)
            if (seen == t)
                return true;
        if (!enum_deepcopy_.is_valid())
            enum_deepcopy_ = f_.enum_deepcopy();
        PyObject *copier =
            PyObject_GetAttr(reinterpret_cast<PyObject *>(t), f_.deepcopy_name().ptr());
        if (!copier) {
            PyErr_Clear();
            return false;
        }
        const bool shared = copier == enum_deepcopy_.ptr();
        Py_DECREF(copier);
        if (shared)
            enum_types_.push_back(t);
        return shared;
    }

  private:
    const Fields &f_;
    nb::object enum_deepcopy_;
    std::vector<PyTypeObject *> enum_types_;
};

} // namespace

void set_field(nb::handle d, const char *key, const nb::object &value) {
    nb::object k = nb::steal(PyUnicode_InternFromString(key));
    if (!k.is_valid() || PyDict_SetItem(d.ptr(), k.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

nb::object deep_copy_record(const Fields &f, nb::handle record) {
    if (!PyDict_CheckExact(record.ptr()))
        return module_name("copy").attr("deepcopy")(record);
    // A flat record of shared values (what add_order makes) copies to a new dict of the
    // same values, exactly as copy.deepcopy would make it.
    SharedOnCopy shared(f);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(record.ptr(), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) || !shared.contains(value))
            return module_name("copy").attr("deepcopy")(record);
    PyObject *copied = PyDict_Copy(record.ptr());
    if (!copied)
        throw nb::python_error();
    return nb::steal(copied);
}

nb::object find_order(nb::handle orders, nb::handle trade_id) {
    nb::list snapshot = nb::list(orders);
    for (nb::handle order : snapshot) {
        nb::object id = order["trade_id"];
        int equal = PyObject_RichCompareBool(id.ptr(), trade_id.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal)
            return nb::borrow(order);
    }
    return nb::object();
}

Py_ssize_t index_of(nb::handle orders, nb::handle record) {
    const Py_ssize_t n = PyList_GET_SIZE(orders.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(orders.ptr(), i) == record.ptr())
            return i;
    return -1;
}

bool remove_record(nb::handle orders, nb::handle record) {
    Py_ssize_t i = index_of(orders, record);
    if (i < 0)
        return false;
    if (PySequence_DelItem(orders.ptr(), i) < 0)
        throw nb::python_error();
    return true;
}

bool str_equals(nb::handle value, const char *text) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return static_cast<size_t>(size) == std::strlen(text) &&
           std::memcmp(data, text, static_cast<size_t>(size)) == 0;
}

long long int64_of(nb::handle value) {
    long long out = PyLong_AsLongLong(value.ptr());
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return out;
}

nb::object pending_orders_of(nb::handle self) {
    nb::object orders = self.attr("pending_orders");
    if (!PyList_Check(orders.ptr()))
        native::raise_arg_type("pending_orders", "list", orders);
    return orders;
}

} // namespace quarvel::matcher
