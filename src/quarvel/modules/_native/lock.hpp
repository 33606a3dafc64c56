#pragma once
// Per-object atomicity with a Python threading.RLock. Acquiring a Python lock releases the
// GIL while it waits, so it cannot deadlock against the GIL the way a std::mutex can.
// GIL held on entry and exit. Never hold the guard across a queue wait.
#include <nanobind/nanobind.h>

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
            m.own_acquire = _PyType_Lookup(Py_TYPE(lock), m.acquire);
            m.own_release = _PyType_Lookup(Py_TYPE(lock), m.release);
            if (m.own_acquire && m.own_release && PyCallable_Check(m.own_acquire) &&
                PyCallable_Check(m.own_release)) {
                Py_INCREF(m.own_acquire);
                Py_INCREF(m.own_release);
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
