#pragma once
// The one guard against interpreter shutdown for native background threads.
//
// When Python finalises, a daemon thread that asks for the GIL is ended by unwinding its
// stack (pthread_exit). Letting that unwind reach nanobind's call dispatcher crashes the
// process, and releasing Python references on the way would run deallocators in a dying
// interpreter. So a background body stops the unwind and sleeps until the process ends,
// and objects it owns are leaked once the interpreter is finalising.
#include <Python.h>

#include <chrono>
#include <cxxabi.h>
#include <memory>
#include <thread>
#include <utility>

namespace quarvel::native {

/// Whether the interpreter is shutting down (any thread, GIL not needed).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0; // public from 3.13 on; same function before
#endif
}

/// Never returns: the calling thread sleeps (holding nothing) until the process exits.
[[noreturn]] inline void sleep_until_exit() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

/// Runs a background thread's body. When the interpreter ends the thread by unwinding it
/// (it asked for the GIL during shutdown), the unwinding stops here and the thread sleeps
/// until the process exits.
template <typename Body> void run_thread_body(Body &&body) {
    try {
        body();
    } catch (abi::__forced_unwind &) {
        sleep_until_exit();
    }
}

/// Owns a value holding Python references; leaks it instead of destroying it when the
/// interpreter is finalising.
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

} // namespace quarvel::native
