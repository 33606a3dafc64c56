#include "playback.hpp"

namespace quarvel::core {

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

namespace {

/// Emits rows one per token; with `token_for_end` a last token is taken before reporting
/// the range exhausted, so the end marker is paced like a tick.
PlaybackOutcome play_rows(PlaybackPort &port, std::size_t rows, bool token_for_end) {
    PlaybackOutcome outcome;
    for (; outcome.sent < rows; ++outcome.sent) {
        if (!port.emit_row_on_token(outcome.sent)) {
            outcome.end = PlaybackEnd::Cancelled;
            return outcome;
        }
    }
    if (!token_for_end)
        return outcome;
    if (!port.take_token()) {
        outcome.end = PlaybackEnd::Cancelled;
    } else if (port.cancelled()) {
        // A token taken after a cancel belongs to whoever plays next.
        port.give_back_token();
        outcome.end = PlaybackEnd::Cancelled;
    }
    return outcome;
}

} // namespace

PlaybackOutcome play_main_range(PlaybackPort &port, std::size_t rows, bool await_backfilling) {
    if (await_backfilling && (!port.wait_backfilling_notice() || !port.emit_backfilling_marker()))
        return {0, PlaybackEnd::Cancelled};
    if (rows == 0)
        return {0, port.cancelled() ? PlaybackEnd::Cancelled : PlaybackEnd::Exhausted};
    return play_rows(port, rows, true);
}

PlaybackOutcome play_backfilling_range(PlaybackPort &port, std::size_t rows) {
    return play_rows(port, rows, false);
}

} // namespace quarvel::core
