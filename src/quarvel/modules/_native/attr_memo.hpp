#pragma once
// Answers about an object kept while the object's type and instance dict keep their version
// tags (see ObjectStamp): whether a method is still the class's own (OwnCheck, in
// replay_entries.hpp), an attribute read on every tick (AttrMemo). GIL held in everything
// below.
#include <nanobind/nanobind.h>

#include "_native/private_api.hpp"

namespace quarvel::native {

/// The object an answer was taken about, and its stamp then.
class StampedFor {
  public:
    /// Whether `self` is that object, unchanged since.
    bool holds(PyObject *self) const { return self == self_ && object_stamp(self) == stamp_; }
    /// Takes the answer as about `self` as it is now (after the look-up, which may have
    /// given the type its tag).
    void note(PyObject *self) {
        self_ = self;
        stamp_ = object_stamp(self);
    }

  private:
    PyObject *self_ = nullptr; // compared only, never used: the stamp tells a new object
    ObjectStamp stamp_;
};

/// Whether reading `self.<name>` is a plain look-up in its instance dict: generic attribute
/// access and nothing of that name on the type (no property, no class attribute).
inline bool plain_attribute(PyObject *self, nb::handle name) {
    PyTypeObject *type = Py_TYPE(self);
    return type->tp_getattro == PyObject_GenericGetAttr && !type_attribute(type, name).is_valid();
}

/// One attribute of one object as last read, kept where reading it is a plain look-up.
/// The value is borrowed: the instance dict holds it while the stamp is unchanged, and a
/// changed dict (or another dict) changes the stamp.
class AttrMemo {
  public:
    nb::object get(nb::handle self, nb::handle name) {
        if (value_ && at_.holds(self.ptr()))
            return nb::borrow(value_);
        value_ = nullptr;
        nb::object value = self.attr(name);
        if (plain_attribute(self.ptr(), name)) {
            at_.note(self.ptr());
            value_ = value.ptr();
        }
        return value;
    }

  private:
    StampedFor at_;
    PyObject *value_ = nullptr;
};

} // namespace quarvel::native
