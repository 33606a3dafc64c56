#pragma once
// Per-object atomicity with a Python threading.RLock. Acquiring a Python lock releases the
// GIL while it waits, so it cannot deadlock against the GIL the way a std::mutex can.
// GIL held on entry and exit. Never hold the guard across a queue wait.
#include <nanobind/nanobind.h>

namespace quarvel::native {
namespace nb = nanobind;

class RLockGuard {
  public:
    explicit RLockGuard(nb::handle lock) : lock_(nb::borrow(lock)) { lock_.attr("acquire")(); }
    ~RLockGuard() {
        try {
            lock_.attr("release")();
        } catch (...) {
            PyErr_Clear();
        }
    }
    RLockGuard(const RLockGuard &) = delete;
    RLockGuard &operator=(const RLockGuard &) = delete;

  private:
    nb::object lock_;
};

} // namespace quarvel::native
