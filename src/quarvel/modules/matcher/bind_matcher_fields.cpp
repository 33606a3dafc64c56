// Interned field names and the direct dict access built on them.
#include "_native/pyns.hpp"
#include "fields.hpp"

#include "bindings.hpp"
#include "match_words.hpp"

namespace quarvel::matcher {

namespace {

nb::object interned(const char *text) {
    nb::object name = nb::steal(PyUnicode_InternFromString(text));
    if (!name.is_valid())
        throw nb::python_error();
    return name;
}

} // namespace

Fields::Fields(nb::handle module)
    : module_(nb::borrow(module)), deepcopy_name_(interned("__deepcopy__")),
      enum_module_name_(interned("enum")) {
    static constexpr const char *kText[] = {
#define QV_FIELD_TEXT(n) #n,
        QV_MATCHER_FIELDS(QV_FIELD_TEXT)
#undef QV_FIELD_TEXT
    };
    for (size_t i = 0; i < names_.size(); ++i)
        names_[i] = interned(kText[i]);
}

nb::object Fields::enum_deepcopy() const {
    PyObject *enum_module = native::find_loaded_module(enum_module_name_); // borrowed
    if (!enum_module) {
        PyErr_SetString(PyExc_ImportError, "module enum is not loaded");
        throw nb::python_error();
    }
    return attr_of(attr_of(enum_module, (*this)[F::Enum]), deepcopy_name_);
}

nb::object Fields::global(F name) const {
    return attr_of(module_, (*this)[name]);
}

nb::object Fields::member(F enum_name, F member_name) const {
    return attr_of(global(enum_name), (*this)[member_name]);
}

nb::object get(nb::handle d, nb::handle key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject *value = PyDict_GetItemWithError(d.ptr(), key.ptr()); // borrowed
        if (value)
            return nb::borrow(value);
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    PyObject *value = PyObject_GetItem(d.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

void put(nb::handle d, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

nb::object attr_of(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

void MatchWords::refresh(const Fields &f) {
    nb::object action = f.global(F::Action);
    nb::object price_type = f.global(F::PriceType);
    nb::object order_type = f.global(F::OrderType);
    if (action.is(action_) && price_type.is(price_type_) && order_type.is(order_type_))
        return;
    buy_value_ = attr_of(attr_of(action, f[F::BUY]), f[F::value]);
    lmt_ = attr_of(price_type, f[F::LMT]);
    rod_ = attr_of(order_type, f[F::ROD]);
    ioc_ = attr_of(order_type, f[F::IOC]);
    fok_ = attr_of(order_type, f[F::FOK]);
    action_ = action;
    price_type_ = price_type;
    order_type_ = order_type;
}

} // namespace quarvel::matcher
