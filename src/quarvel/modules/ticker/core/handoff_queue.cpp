#include "handoff_queue.hpp"

#include <thread>

namespace quarvel::core::ticker {

void HandoffQueue::push_locked(const QueueItem &item) {
    items_.push_back(item);
    size_.fetch_add(1, std::memory_order_release);
}

QueueItem HandoffQueue::pop_locked() {
    QueueItem item = items_.front();
    items_.pop_front();
    size_.fetch_sub(1, std::memory_order_release);
    return item;
}

// A sleeper registers itself under the mutex before it waits, so a put that follows the
// push with this check never misses it; with no sleeper the put costs no system call.
void HandoffQueue::wake_sleeper() {
    if (sleepers_.load(std::memory_order_acquire) > 0)
        ready_.notify_one();
}

std::optional<QueueItem> HandoffQueue::put(const QueueItem &item) {
    bool consumed = false;
    bool ended = false;
    {
        std::lock_guard lock(mutex_);
        if (stage_state_.load(std::memory_order_relaxed) == StageState::Waiting) {
            consumed = deliver_staged_locked();
            ended = stage_state_.load(std::memory_order_relaxed) != StageState::Waiting;
        }
        if (!consumed)
            push_locked(item);
    }
    if (ended && stage_waiters_.load(std::memory_order_acquire) > 0)
        stage_done_.notify_all();
    if (!consumed) {
        wake_sleeper();
        return std::nullopt;
    }
    return item;
}

// Called for one put while rows are staged. Lock order: this queue, then the target;
// nothing takes them the other way round.
bool HandoffQueue::deliver_staged_locked() {
    StagedRows &rows = staged_;
    if (rows.next == rows.end) { // the end token
        stage_state_.store(StageState::Delivered, std::memory_order_release);
        return true;
    }
    QueueItem item{ItemKind::Row, 0, rows.columns->row(rows.next, rows.source, rows.backfilling)};
    if (!rows.target->put_unless_cancelled(item, *rows.session)) {
        stage_state_.store(StageState::Refused, std::memory_order_release);
        return false;
    }
    ++rows.next;
    if (rows.next == rows.end && !rows.end_token)
        stage_state_.store(StageState::Delivered, std::memory_order_release);
    return true;
}

bool HandoffQueue::put_unless_cancelled(const QueueItem &item, const PlaybackSession &session) {
    {
        std::lock_guard lock(mutex_);
        if (session.cancelled())
            return false;
        push_locked(item);
    }
    wake_sleeper();
    return true;
}

void HandoffQueue::fence() {
    std::lock_guard lock(mutex_);
}

std::optional<QueueItem> HandoffQueue::try_get() {
    if (size() == 0)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (items_.empty())
        return std::nullopt;
    return pop_locked();
}

template <typename Ready> bool HandoffQueue::spin_until(Ready ready) const {
    const auto budget = std::chrono::microseconds(spin_micros());
    if (budget.count() == 0)
        return ready();
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (;;) {
        if (ready())
            return true;
        // Yield rather than pause: on a busy machine the peer thread may be queued behind
        // this one, and a yield lets it run at once; on an idle one it returns at once.
        std::this_thread::yield();
        if (std::chrono::steady_clock::now() >= deadline)
            return ready();
    }
}

bool HandoffQueue::spin_until_ready() const {
    return spin_until([this] { return size() > 0; });
}

bool HandoffQueue::stage(const StagedRows &rows) {
    std::lock_guard lock(mutex_);
    if (!items_.empty() || stage_state_.load(std::memory_order_relaxed) != StageState::None)
        return false;
    staged_ = rows;
    stage_state_.store(StageState::Waiting, std::memory_order_release);
    return true;
}

StageState HandoffQueue::wait_staged(std::chrono::nanoseconds timeout, std::size_t &next) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto settled = [this] {
        return stage_state_.load(std::memory_order_acquire) != StageState::Waiting;
    };
    if (!spin_until(settled)) {
        std::unique_lock lock(mutex_);
        stage_waiters_.fetch_add(1, std::memory_order_acq_rel);
        stage_done_.wait_until(lock, deadline, settled);
        stage_waiters_.fetch_sub(1, std::memory_order_acq_rel);
    }
    std::lock_guard lock(mutex_);
    next = staged_.next;
    StageState state = stage_state_.load(std::memory_order_relaxed);
    if (state != StageState::Waiting)
        stage_state_.store(StageState::None, std::memory_order_relaxed);
    return state;
}

StageState HandoffQueue::unstage(std::size_t &next) {
    std::lock_guard lock(mutex_);
    next = staged_.next;
    StageState state = stage_state_.load(std::memory_order_relaxed);
    stage_state_.store(StageState::None, std::memory_order_relaxed);
    return state == StageState::Waiting ? StageState::None : state;
}

std::optional<QueueItem> HandoffQueue::get_for(std::chrono::nanoseconds timeout, bool spin_first) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (spin_first && spin_until_ready()) {
        if (auto item = try_get())
            return item;
    }
    std::unique_lock lock(mutex_);
    sleepers_.fetch_add(1, std::memory_order_acq_rel);
    bool ready = ready_.wait_until(lock, deadline, [this] { return !items_.empty(); });
    sleepers_.fetch_sub(1, std::memory_order_acq_rel);
    if (!ready)
        return std::nullopt;
    return pop_locked();
}

} // namespace quarvel::core::ticker
