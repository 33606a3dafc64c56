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

namespace quarvel::core::ticker {

/// One tick row in native form; the consumer turns it into the tick dict.
struct PlayedTick {
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
    PlayedTick row{};
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

/// Numeric columns of a played table, read in place (the owner keeps them alive).
struct PlayedColumns {
    std::size_t rows = 0;
    const std::int64_t *ts = nullptr;
    const double *close = nullptr;
    const std::int64_t *volume = nullptr;
    const std::int64_t *tick_type = nullptr;
    const std::uint32_t *code = nullptr;

    PlayedTick row(std::size_t index, std::uint32_t source, bool backfilling) const {
        return {ts[index], close[index], volume[index], tick_type[index],
                source,    code[index],  backfilling};
    }
};

/// Rows a producer parks on a token queue: each later put on that queue delivers the next
/// row to `target` (as if the producer had been waiting for that token and emitted it)
/// instead of queuing. With `end_token`, one more put is taken after the last row, as the
/// token of the row that does not exist.
struct StagedRows {
    HandoffQueue *target = nullptr;
    const PlaybackSession *session = nullptr;
    const PlayedColumns *columns = nullptr;
    std::size_t next = 0;
    std::size_t end = 0;
    bool end_token = false;
    std::uint32_t source = 0;
    bool backfilling = false;
};

enum class StageState : std::uint8_t {
    None,      ///< nothing staged
    Waiting,   ///< staged, rows (or the end token) still due
    Delivered, ///< every row was delivered (and the end token taken)
    Refused,   ///< a put came after the session was cancelled: the put was queued instead
};

class HandoffQueue {
  public:
    /// Default spin before parking, µs: longer than one consumer step, far shorter than a tick
    /// interval of a real market.
    static constexpr std::uint32_t kDefaultSpinMicros = 50;

    explicit HandoffQueue(std::uint32_t spin_micros = kDefaultSpinMicros)
        : spin_micros_(spin_micros) {}

    /// Queues `item`, or, when rows are staged, delivers the next one instead and returns
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

    /// Producer side: stages `rows` for the coming puts. False when an item is already
    /// waiting (take it instead) or other rows are staged.
    bool stage(const StagedRows &rows);
    /// Waits up to `timeout` for the staged rows to end (spinning first). Delivered and
    /// Refused end the staging; Waiting means the time ran out. `next` receives the index
    /// of the first row not delivered.
    StageState wait_staged(std::chrono::nanoseconds timeout, std::size_t &next);
    /// Withdraws the staged rows (None) unless they already ended (then that outcome).
    StageState unstage(std::size_t &next);

  private:
    void push_locked(const QueueItem &item);
    QueueItem pop_locked();
    void wake_sleeper();
    bool deliver_staged_locked();
    template <typename Ready> bool spin_until(Ready ready) const;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QueueItem> items_;
    std::atomic<std::size_t> size_{0};
    std::atomic<std::uint32_t> sleepers_{0};
    std::atomic<std::uint32_t> spin_micros_;
    StagedRows staged_;
    std::atomic<StageState> stage_state_{StageState::None};
    std::condition_variable stage_done_;
    std::atomic<std::uint32_t> stage_waiters_{0};
};

} // namespace quarvel::core::ticker
