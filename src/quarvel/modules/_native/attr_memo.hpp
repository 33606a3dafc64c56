#pragma once
// AttrMemo: an attribute read on every tick (a matcher's `pending_orders`, a ledger's
// `current_tick_infos`), kept while its owner's type and instance dict keep their version
// tags. GIL held in everything below.
#include <nanobind/nanobind.h>

#include "_native/private_api.hpp"

namespace quarvel::native {

/// One attribute of one object as last read. Kept only where reading it is a plain look-up
/// in the instance dict: generic attribute access and nothing of that name on the type.
/// The value is borrowed: the instance dict holds it while the stamp is unchanged, and a
/// changed dict (or another dict) changes the stamp.
class AttrMemo {
  public:
    nb::object get(nb::handle self, nb::handle name) {
        const ObjectStamp now = object_stamp(self.ptr());
        if (value_ && self.ptr() == self_ && now == stamp_)
            return nb::borrow(value_);
        value_ = nullptr;
        nb::object value = self.attr(name);
        PyTypeObject *type = Py_TYPE(self.ptr());
        if (now.valid && type->tp_getattro == PyObject_GenericGetAttr &&
            !type_attribute(type, name).is_valid()) {
            self_ = self.ptr();
            stamp_ = object_stamp(self.ptr()); // the look-up may have given the type its tag
            value_ = value.ptr();
        }
        return value;
    }

  private:
    PyObject *self_ = nullptr; // compared only, never used
    ObjectStamp stamp_;
    PyObject *value_ = nullptr;
};

} // namespace quarvel::native
