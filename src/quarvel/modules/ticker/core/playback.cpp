#include "playback.hpp"

namespace quarvel::core::ticker {

namespace {

/// Emits rows [0, rows) one per token; with `end_token` one more token is taken after the
/// last row. The port may take over the rest of the range at any token.
PlaybackOutcome emit_range(PlaybackPort &port, std::size_t rows, bool end_token) {
    std::size_t next = 0;
    for (;;) {
        if (next == rows && !end_token)
            return {next, PlaybackEnd::Exhausted};
        TokenStep step = port.take_token_or_hand_over({next, rows, end_token});
        if (step.wait == TokenWait::Retry)
            continue;
        if (step.wait == TokenWait::HandedOver)
            return step.handed_over;
        if (step.wait == TokenWait::Cancelled)
            return {next, PlaybackEnd::Cancelled};
        // A token taken after a cancel belongs to whoever plays next.
        if (port.cancelled()) {
            port.give_back_token();
            return {next, PlaybackEnd::Cancelled};
        }
        if (next == rows) // the token of the row that does not exist
            return {next, PlaybackEnd::Exhausted};
        if (!port.emit_row(next)) {
            port.give_back_token();
            return {next, PlaybackEnd::Cancelled};
        }
        ++next;
    }
}

} // namespace

PlaybackOutcome play_main_range(PlaybackPort &port, std::size_t rows, bool await_backfilling) {
    if (await_backfilling && (!port.wait_backfilling_notice() || !port.emit_backfilling_marker()))
        return {0, PlaybackEnd::Cancelled};
    if (rows == 0)
        return {0, port.cancelled() ? PlaybackEnd::Cancelled : PlaybackEnd::Exhausted};
    // The end marker is paced like a tick: one more token after the last row.
    return emit_range(port, rows, true);
}

PlaybackOutcome play_backfilling_range(PlaybackPort &port, std::size_t rows) {
    return emit_range(port, rows, false);
}

} // namespace quarvel::core::ticker
