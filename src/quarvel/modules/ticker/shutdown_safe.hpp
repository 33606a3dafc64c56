#pragma once
// Ownership for Python references held by background threads. When the interpreter shuts
// down, a daemon thread that wants the GIL back is ended by unwinding its stack; releasing
// references then would run deallocators in a dying interpreter. Such objects are leaked
// instead: the process is ending anyway.
#include <Python.h>

#include <chrono>
#include <cxxabi.h>
#include <memory>
#include <thread>
#include <utility>

namespace quarvel::ticker {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Runs a background thread's body. When the interpreter ends the thread by unwinding it
/// (it asked for the GIL during shutdown), the unwinding stops here and the thread sleeps
/// until the process exits: letting it reach the binding layer would crash the process.
template <typename Body> void run_thread_body(Body &&body) {
    try {
        body();
    } catch (abi::__forced_unwind &) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

template <typename T> class ShutdownSafe {
  public:
    explicit ShutdownSafe(T &&value) : value_(std::make_unique<T>(std::move(value))) {}
    ~ShutdownSafe() {
        if (interpreter_finalizing())
            (void)value_.release();
    }
    ShutdownSafe(const ShutdownSafe &) = delete;
    ShutdownSafe &operator=(const ShutdownSafe &) = delete;

    T &operator*() const { return *value_; }
    T *operator->() const { return value_.get(); }
    /// Drops the value now (GIL held).
    void reset() { value_.reset(); }

  private:
    std::unique_ptr<T> value_;
};

} // namespace quarvel::ticker
