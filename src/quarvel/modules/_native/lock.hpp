#pragma once
// Per-object atomicity with a Python threading.RLock. Acquiring a Python lock releases the
// GIL while it waits, so it cannot deadlock against the GIL the way a std::mutex can.
// GIL held on entry and exit. Never hold the guard across a queue wait.
#include <nanobind/nanobind.h>

#include "_native/private_api.hpp"

namespace quarvel::native {
namespace nb = nanobind;

class RLockGuard {
  public:
    explicit RLockGuard(nb::handle lock) : lock_(nb::borrow(lock)) {
        PyObject *done = call(lock_.ptr(), methods().acquire);
        if (!done)
            throw nb::python_error();
        Py_DECREF(done);
    }
    ~RLockGuard() {
        PyObject *done = call(lock_.ptr(), methods().release);
        if (done)
            Py_DECREF(done);
        else
            PyErr_Clear();
    }
    RLockGuard(const RLockGuard &) = delete;
    RLockGuard &operator=(const RLockGuard &) = delete;

  private:
    /// The names, and the methods of the lock type seen first (threading.RLock's C type):
    /// taken on every tick, so a lock of that type is called without a method lookup.
    struct Methods {
        PyObject *acquire = PyUnicode_InternFromString("acquire");
        PyObject *release = PyUnicode_InternFromString("release");
        PyTypeObject *type = nullptr;
        PyObject *own_acquire = nullptr, *own_release = nullptr;
    };
    static Methods &methods() {
        static Methods m; // kept for the life of the process
        return m;
    }
    static PyObject *call(PyObject *lock, PyObject *name) {
        Methods &m = methods();
        if (!m.type && !(Py_TYPE(lock)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            // A static (C) type cannot change its methods: look them up once.
            nb::object acquire = type_attribute(Py_TYPE(lock), m.acquire);
            nb::object release = type_attribute(Py_TYPE(lock), m.release);
            if (acquire.is_valid() && release.is_valid() && PyCallable_Check(acquire.ptr()) &&
                PyCallable_Check(release.ptr())) {
                m.own_acquire = acquire.release().ptr();
                m.own_release = release.release().ptr();
                m.type = Py_TYPE(lock);
            }
        }
        if (Py_TYPE(lock) == m.type) {
            PyObject *args[] = {lock};
            return PyObject_Vectorcall(name == m.acquire ? m.own_acquire : m.own_release, args, 1,
                                       nullptr);
        }
        return PyObject_CallMethodNoArgs(lock, name);
    }

    nb::object lock_;
};

} // namespace quarvel::native
