#pragma once
// How a playback reaches the Ticker's queues: natively without the GIL when all three
// queues are HandoffQueues, or through the queues' Python methods otherwise.
#include <nanobind/nanobind.h>

#include "bindings.hpp"
#include "core/playback.hpp"
#include "tick_source.hpp"

namespace quarvel::ticker {

/// What a range plays: the table's rows and whether they are backfilled.
struct RangeToPlay {
    const PlayedTable &columns;
    bool backfilling;
    bool await_backfilling; ///< main range only: wait for the end of backfilling first
};

/// Plays `range` into the Ticker's queues for `session`. GIL held on entry and exit; the
/// native path releases it for the whole steady state.
core::ticker::PlaybackOutcome play_range(nb::handle self, const SessionPtr &session,
                                         const RangeToPlay &range);

/// Puts `kind`'s marker into `queue` unless `session` is cancelled (checked and put as one
/// step against cancel_session). GIL held.
bool put_marker(Ticker &ticker, const Session &session, nb::handle queue,
                core::ticker::ItemKind kind);

/// Cancels the current session: from now on its threads put nothing more.
void cancel_session(nb::handle self, Ticker &ticker);

/// True when `queue` is a HandoffQueue.
bool is_native_queue(nb::handle queue);

} // namespace quarvel::ticker
