// The two ways a playback reaches the queues. The native one runs without the GIL:
// rows go into the tick queue as plain structs and become dicts on the consumer's side.
#include "playback_ports.hpp"

#include <chrono>
#include <thread>

#include "_native/lock.hpp"
#include "_native/pyns.hpp"

namespace quarvel::ticker {

namespace {

/// Producers wait in slices this long, so a cancelled playback notices and ends.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

PyHandoffQueue &native_queue(nb::handle queue) {
    return nb::cast<PyHandoffQueue &>(queue);
}

const char *flag_name(core::ticker::ItemKind kind) {
    return kind == core::ticker::ItemKind::EndOfStream ? "exit_send_tick" : "finish_backfilling";
}

/// GIL released: every member is native. Objects found in the queues (a token other than
/// True, a notice put from Python) are released under a briefly taken GIL.
class NativePort final : public core::ticker::PlaybackPort {
  public:
    NativePort(PyHandoffQueue &ticks, PyHandoffQueue &tokens, PyHandoffQueue &notices,
               const Session &session, const RangeToPlay &range, std::uint32_t source)
        : ticks_(ticks.native()), tokens_(tokens.native()), notices_(notices.native()),
          session_(session.state), range_(range), source_(source) {}

    bool wait_backfilling_notice() override {
        for (;;) {
            if (auto item = notices_.get_for(kWaitSlice)) {
                release(*item);
                return true;
            }
            if (session_.cancelled())
                return false;
        }
    }
    bool emit_backfilling_marker() override {
        return ticks_.put_unless_cancelled({core::ticker::ItemKind::EndOfBackfilling, 0, {}},
                                           session_);
    }
    bool take_token() override {
        for (;;) {
            if (auto item = tokens_.get_for(kWaitSlice)) {
                release(*item); // whatever was put, it counts as one token
                return true;
            }
            if (session_.cancelled())
                return false;
        }
    }
    // A token handed back may at once release the row of whoever plays next.
    void give_back_token() override { tokens_.put({core::ticker::ItemKind::Token, 0, {}}); }
    bool cancelled() override { return session_.cancelled(); }
    bool emit_row(std::size_t index) override {
        return ticks_.put_unless_cancelled(row_item(index), session_);
    }
    // Tokens already waiting are used here; then the remaining rows are staged on the token
    // queue, so that each grant delivers the next row at once, on the granting thread. This
    // thread only waits for the end of the range (or a cancel): no hand-off per tick.
    core::ticker::PlaybackOutcome emit_range(std::size_t rows, bool end_token) override {
        std::size_t next = 0;
        for (;;) {
            if (next == rows && !end_token)
                return {next, core::ticker::PlaybackEnd::Exhausted};
            if (auto token = tokens_.try_get()) {
                release(*token);
                if (session_.cancelled()) {
                    give_back_token();
                    return {next, core::ticker::PlaybackEnd::Cancelled};
                }
                if (next == rows) // the token of the row that does not exist
                    return {next, core::ticker::PlaybackEnd::Exhausted};
                if (!ticks_.put_unless_cancelled(row_item(next), session_)) {
                    give_back_token();
                    return {next, core::ticker::PlaybackEnd::Cancelled};
                }
                ++next;
                continue;
            }
            if (session_.cancelled())
                return {next, core::ticker::PlaybackEnd::Cancelled};
            core::ticker::StagedRows staged{&ticks_,   &session_, &range_.columns.view, next, rows,
                                            end_token, source_,   range_.backfilling};
            if (tokens_.stage(staged))
                return wait_for_staged_rows();
            // A token arrived between the two looks, or a cancelled producer has not
            // withdrawn its rows yet: look again.
            std::this_thread::yield();
        }
    }

  private:
    core::ticker::QueueItem row_item(std::size_t index) const {
        return {core::ticker::ItemKind::Row, 0,
                range_.columns.view.row(index, source_, range_.backfilling)};
    }
    core::ticker::PlaybackOutcome wait_for_staged_rows() {
        for (;;) {
            std::size_t next = 0;
            core::ticker::StageState state = tokens_.wait_staged(kWaitSlice, next);
            if (state == core::ticker::StageState::Waiting) {
                if (!session_.cancelled())
                    continue;
                state = tokens_.unstage(next);
            }
            // Refused: a grant came after a cancel and stays in the queue as a token.
            // None: withdrawn after a cancel.
            bool done = state == core::ticker::StageState::Delivered;
            return {next, done ? core::ticker::PlaybackEnd::Exhausted
                               : core::ticker::PlaybackEnd::Cancelled};
        }
    }
    static void release(const core::ticker::QueueItem &item) {
        if (item.kind != core::ticker::ItemKind::Object)
            return;
        nb::gil_scoped_acquire acquire;
        PyHandoffQueue::discard(item);
    }

    core::ticker::HandoffQueue &ticks_;
    core::ticker::HandoffQueue &tokens_;
    core::ticker::HandoffQueue &notices_;
    const core::ticker::PlaybackSession &session_;
    const RangeToPlay &range_;
    std::uint32_t source_;
};

/// GIL held throughout: the queues are used through their Python methods, so any object
/// with queue.Queue's methods works.
class PythonPort final : public core::ticker::PlaybackPort {
  public:
    PythonPort(nb::handle self, const Session &session, const RangeToPlay &range,
               TickDictPartsPtr source)
        : self_(self), ticker_(native_ticker(self)), session_(session), range_(range),
          source_(std::move(source)), empty_(native::module_attr(kModule, "queue").attr("Empty")) {}

    bool wait_backfilling_notice() override {
        nb::object notices = self_.attr("backfilling_notify_finish_queue");
        for (;;) {
            if (take_within_slice(notices).is_valid())
                return true;
            if (cancelled())
                return false;
        }
    }
    bool emit_backfilling_marker() override {
        return put_marker(ticker_, session_, self_.attr("tick_queue"),
                          core::ticker::ItemKind::EndOfBackfilling);
    }
    bool take_token() override {
        nb::object tokens = self_.attr("allow_next_tick_flag_queue");
        for (;;) {
            token_ = take_within_slice(tokens);
            if (token_.is_valid())
                return true;
            if (cancelled())
                return false;
        }
    }
    void give_back_token() override {
        self_.attr("allow_next_tick_flag_queue").attr("put")(token_);
    }
    bool cancelled() override { return session_.state.cancelled(); }
    bool emit_row(std::size_t index) override {
        nb::object tick =
            make_tick_dict(*source_, range_.columns.view.row(index, 0, range_.backfilling));
        native::RLockGuard guard(ticker_.emit_lock);
        if (cancelled())
            return false;
        self_.attr("tick_queue").attr("put")(tick);
        return true;
    }

  private:
    nb::object take_within_slice(nb::handle queue) {
        try {
            double seconds = std::chrono::duration<double>(kWaitSlice).count();
            return queue.attr("get")(nb::arg("timeout") = seconds);
        } catch (nb::python_error &e) {
            if (!e.matches(empty_))
                throw;
            return nb::object();
        }
    }

    nb::handle self_;
    Ticker &ticker_;
    const Session &session_;
    const RangeToPlay &range_;
    TickDictPartsPtr source_;
    nb::object empty_;
    nb::object token_;
};

} // namespace

bool is_native_queue(nb::handle queue) {
    return nb::isinstance<PyHandoffQueue>(queue);
}

bool put_marker(Ticker &ticker, const Session &session, nb::handle queue,
                core::ticker::ItemKind kind) {
    if (is_native_queue(queue))
        return native_queue(queue).native().put_unless_cancelled({kind, 0, {}}, session.state);
    native::RLockGuard guard(ticker.emit_lock);
    if (session.state.cancelled())
        return false;
    queue.attr("put")(make_status_marker(flag_name(kind)));
    return true;
}

void cancel_session(nb::handle self, Ticker &ticker) {
    native::RLockGuard guard(ticker.emit_lock);
    ticker.session->state.cancel();
    // Native producers check the session under their queue's mutex: after the fence no
    // put of theirs can still be under way.
    for (const char *name : {"tick_queue", "backfilling_notify_finish_queue"}) {
        nb::object queue = self.attr(name);
        if (is_native_queue(queue))
            native_queue(queue).native().fence();
    }
}

core::ticker::PlaybackOutcome play_range(nb::handle self, const SessionPtr &session,
                                         const RangeToPlay &range) {
    nb::object ticks = self.attr("tick_queue");
    nb::object tokens = self.attr("allow_next_tick_flag_queue");
    nb::object notices = self.attr("backfilling_notify_finish_queue");
    const std::size_t rows = range.columns.view.rows;
    TickDictPartsPtr source;
    if (rows > 0)
        source = make_row_source(range.columns, self.attr("code_market_map"));
    auto play = [&](core::ticker::PlaybackPort &port) {
        return range.backfilling
                   ? core::ticker::play_backfilling_range(port, rows)
                   : core::ticker::play_main_range(port, rows, range.await_backfilling);
    };
    if (is_native_queue(ticks) && is_native_queue(tokens) && is_native_queue(notices)) {
        PyHandoffQueue &tick_queue = native_queue(ticks);
        std::uint32_t id = source ? tick_queue.register_source(source) : 0;
        NativePort port(tick_queue, native_queue(tokens), native_queue(notices), *session, range,
                        id);
        nb::gil_scoped_release release; // GIL released: the port touches no Python object
        return play(port);
    }
    PythonPort port(self, *session, range, source);
    return play(port);
}

} // namespace quarvel::ticker
