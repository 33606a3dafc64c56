#include "playback.hpp"

namespace quarvel::core::ticker {

bool PlaybackPort::emit_row_on_token(std::size_t index) {
    if (!take_token())
        return false;
    // A token taken after a cancel belongs to whoever plays next.
    if (cancelled() || !emit_row(index)) {
        give_back_token();
        return false;
    }
    return true;
}

PlaybackOutcome PlaybackPort::emit_range(std::size_t rows, bool end_token) {
    PlaybackOutcome outcome;
    for (; outcome.sent < rows; ++outcome.sent) {
        if (!emit_row_on_token(outcome.sent)) {
            outcome.end = PlaybackEnd::Cancelled;
            return outcome;
        }
    }
    if (!end_token)
        return outcome;
    if (!take_token()) {
        outcome.end = PlaybackEnd::Cancelled;
    } else if (cancelled()) {
        // A token taken after a cancel belongs to whoever plays next.
        give_back_token();
        outcome.end = PlaybackEnd::Cancelled;
    }
    return outcome;
}

PlaybackOutcome play_main_range(PlaybackPort &port, std::size_t rows, bool await_backfilling) {
    if (await_backfilling && (!port.wait_backfilling_notice() || !port.emit_backfilling_marker()))
        return {0, PlaybackEnd::Cancelled};
    if (rows == 0)
        return {0, port.cancelled() ? PlaybackEnd::Cancelled : PlaybackEnd::Exhausted};
    // The end marker is paced like a tick: one more token after the last row.
    return port.emit_range(rows, true);
}

PlaybackOutcome play_backfilling_range(PlaybackPort &port, std::size_t rows) {
    return port.emit_range(rows, false);
}

} // namespace quarvel::core::ticker
