// The receiver's parking at interpreter exit (see parking.hpp).
#include <chrono>

#include "_native/finalizing.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "guard.hpp"
#include "parking.hpp"

namespace quarvel::matcher {

namespace {

// Long enough for a request in progress to finish, short enough not to stall an exit.
constexpr auto kParkTimeout = std::chrono::seconds(2);

} // namespace

// The C++ mutex below is only held for flag changes: never while calling into Python or
// waiting for the GIL.
void ReceiverParking::set_running(bool running) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = running;
    }
    changed_.notify_all();
}

bool ReceiverParking::closing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

void ReceiverParking::park() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        parked_ = true;
    }
    changed_.notify_all();
    // GIL released: no Python objects below. Nothing ever wakes this thread again.
    PyEval_SaveThread();
    native::sleep_until_exit();
}

void ReceiverParking::close_and_wait() {
    if (static_cast<long>(getpid()) != owner_pid_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    // GIL released: no Python objects below.
    nb::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kParkTimeout, [this] { return parked_ || !running_; });
}

void register_parking_at_exit(nb::handle self, std::shared_ptr<ReceiverParking> parking) {
    nb::object queue_owner = nb::borrow(self);
    auto hook = [parking, queue_owner]() {
        // Wakes an idle receiver; it parks instead of running the item.
        run_guarded([&] { queue_owner.attr("pending_order_queue").attr("put")(nb::none()); });
        parking->close_and_wait();
    };
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(hook));
}

} // namespace quarvel::matcher
