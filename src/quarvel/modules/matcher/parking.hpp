#pragma once
// Parking the receiver thread before the interpreter shuts down (the hazard is described in
// _native/finalizing.hpp). The receiver is a Python thread running Python code between
// requests, so the native guard cannot stop its unwind; instead, at exit (an atexit hook, which
// runs before finalisation) the receiver is asked to stop between requests and sleep for good with
// the GIL released; the process then ends around it.
#include <nanobind/nanobind.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include <unistd.h>

namespace quarvel::matcher {
namespace nb = nanobind;

class ReceiverParking {
  public:
    /// Receiver side: marks the thread as serving until `served` ends.
    void set_running(bool running);

    /// Receiver side, GIL held: whether the process is exiting and the thread must park.
    bool closing() const;

    /// Receiver side, GIL held on entry: releases the GIL and never returns.
    [[noreturn]] void park();

    /// Exit side, GIL held: asks the receiver to park and waits (GIL released) until it
    /// has, or until it cannot (not running) or a short time-out passes.
    void close_and_wait();

  private:
    // A forked child inherits these flags but not the thread: it has nothing to wait for.
    const long owner_pid_ = static_cast<long>(getpid());
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool closing_ = false;
    bool parked_ = false;
};

/// Registers the atexit hook that parks the receiver of `self`.
void register_parking_at_exit(nb::handle self, std::shared_ptr<ReceiverParking> parking);

} // namespace quarvel::matcher
