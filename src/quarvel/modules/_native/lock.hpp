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
        // Interned names and a method call without a bound method: taken on every tick.
        static PyObject *const acquire = PyUnicode_InternFromString("acquire");
        PyObject *done = PyObject_CallMethodNoArgs(lock_.ptr(), acquire);
        if (!done)
            throw nb::python_error();
        Py_DECREF(done);
    }
    ~RLockGuard() {
        static PyObject *const release = PyUnicode_InternFromString("release");
        PyObject *done = PyObject_CallMethodNoArgs(lock_.ptr(), release);
        if (done)
            Py_DECREF(done);
        else
            PyErr_Clear();
    }
    RLockGuard(const RLockGuard &) = delete;
    RLockGuard &operator=(const RLockGuard &) = delete;

  private:
    nb::object lock_;
};

} // namespace quarvel::native
