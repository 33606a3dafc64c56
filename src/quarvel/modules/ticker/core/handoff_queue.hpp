#pragma once
// Unbounded FIFO for handing ticks and pacing tokens between threads. Native producers
// use it without any interpreter lock; waiters spin briefly (yielding the CPU) before
// parking, because with one tick in flight most waits are a few microseconds and a
// kernel sleep costs more.
// Nothing here knows about Python: an item's `object` word is owned by the binding.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace quarvel::core {

/// One tick row in native form; the consumer turns it into the tick dict.
struct TickRow {
    std::int64_t ts = 0;        ///< broker time, ns
    double close = 0;           ///< trade price
    std::int64_t volume = 0;    ///< lots or contracts
    std::int64_t tick_type = 0; ///< broker's code, passed through
    std::uint32_t source = 0;   ///< row source registered with the queue's owner
    std::uint32_t code = 0;     ///< code index within that source
    bool backfilling = false;
};

enum class ItemKind : std::uint8_t {
    Object,           ///< an arbitrary object; `object` holds the owner's reference
    Token,            ///< the pacing token (True)
    Row,              ///< a tick row
    EndOfStream,      ///< status marker: no further ticks
    EndOfBackfilling, ///< status marker: backfilled ticks are done
};

struct QueueItem {
    ItemKind kind = ItemKind::Token;
    std::uintptr_t object = 0;
    TickRow row{};
};

/// Cancellation shared by the producers of one playback. Cancelled once, never reset.
class PlaybackSession {
  public:
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    void cancel() { cancelled_.store(true, std::memory_order_release); }

  private:
    std::atomic<bool> cancelled_{false};
};

class HandoffQueue;

/// An item a producer parks on a token queue: the next put on that queue delivers it to
/// `target` (as if the producer had been waiting for that token) instead of queuing.
struct StagedEmit {
    HandoffQueue *target = nullptr;
    QueueItem item{};
    const PlaybackSession *session = nullptr;
};

enum class StageState : std::uint8_t {
    None,      ///< nothing staged
    Waiting,   ///< staged, no put yet
    Delivered, ///< a put delivered it
    Refused,   ///< a put came after the session was cancelled: the put was queued instead
};

class HandoffQueue {
  public:
    /// Default spin before parking, µs: longer than one consumer step, far shorter than a tick
    /// interval of a real market.
    static constexpr std::uint32_t kDefaultSpinMicros = 50;

    explicit HandoffQueue(std::uint32_t spin_micros = kDefaultSpinMicros)
        : spin_micros_(spin_micros) {}

    /// Queues `item`, or, when an emission is staged, delivers that instead and returns
    /// `item` as consumed (the owner releases what it holds).
    std::optional<QueueItem> put(const QueueItem &item);
    /// Puts `item` unless `session` is cancelled; the check and the put are one step with
    /// respect to `fence`, so after `session.cancel(); fence();` nothing of it gets in.
    bool put_unless_cancelled(const QueueItem &item, const PlaybackSession &session);
    /// Waits until every put that is under way has finished.
    void fence();

    std::optional<QueueItem> try_get();
    /// Spins up to the spin budget (unless `spin_first` is false), then parks; empty when
    /// `timeout` passes first.
    std::optional<QueueItem> get_for(std::chrono::nanoseconds timeout, bool spin_first = true);

    std::size_t size() const { return size_.load(std::memory_order_acquire); }
    std::uint32_t spin_micros() const { return spin_micros_.load(std::memory_order_relaxed); }
    void set_spin_micros(std::uint32_t micros) {
        spin_micros_.store(micros, std::memory_order_relaxed);
    }
    /// Spins (no parking) for at most the spin budget until an item is there.
    bool spin_until_ready() const;

    /// Producer side: stages `emit` for the next put. False when an item is already waiting
    /// (take it instead) or another emission is staged.
    bool stage(const StagedEmit &emit);
    /// Waits up to `timeout` for the staged emission's outcome (spinning first). Delivered and
    /// Refused end the staging; Waiting means the time ran out.
    StageState wait_staged(std::chrono::nanoseconds timeout);
    /// Withdraws the staged emission unless a put got to it first (then returns that outcome).
    StageState unstage();

  private:
    void push_locked(const QueueItem &item);
    QueueItem pop_locked();
    void wake_sleeper();
    template <typename Ready> bool spin_until(Ready ready) const;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QueueItem> items_;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::uint32_t> sleepers_{0};
    std::atomic<std::uint32_t> spin_micros_;
    StagedEmit staged_;
    std::atomic<StageState> stage_state_{StageState::None};
    std::condition_variable stage_done_;
    std::atomic<std::uint32_t> stage_waiters_{0};
};

} // namespace quarvel::core
