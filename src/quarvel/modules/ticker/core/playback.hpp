#pragma once
// The paced playback of one range of rows, one row per pacing token, independent of how
// tokens and rows travel (native queues without the interpreter, or Python queues).
#include <cstddef>

namespace quarvel::core::ticker {

enum class PlaybackEnd {
    Exhausted, ///< every row was emitted; the end-of-stream marker is due
    Cancelled, ///< the session was cancelled; the stream is no longer ours
};

struct PlaybackOutcome {
    std::size_t sent = 0;
    PlaybackEnd end = PlaybackEnd::Exhausted;
};

/// What a playback needs from its surroundings. Every wait returns false once the
/// playback's session is cancelled (stopped, or replaced by a newer playback).
class PlaybackPort {
  public:
    virtual ~PlaybackPort() = default;
    /// Blocks until the backfilling side reports that it has ended.
    virtual bool wait_backfilling_notice() = 0;
    /// Emits the end-of-backfilling marker.
    virtual bool emit_backfilling_marker() = 0;
    /// Blocks until a pacing token is taken.
    virtual bool take_token() = 0;
    /// Returns the token just taken, for a playback that will not use it.
    virtual void give_back_token() = 0;
    virtual bool cancelled() = 0;
    /// Emits row `index`; false (and nothing emitted) when cancelled.
    virtual bool emit_row(std::size_t index) = 0;
    /// Takes a token and emits row `index` on it; false when cancelled (a token taken after
    /// the cancel is given back).
    virtual bool emit_row_on_token(std::size_t index);
    /// Emits rows [0, rows) one per token; with `end_token` one more token is taken after
    /// the last row. A port may do this its own way, e.g. by staging the rows where the
    /// tokens arrive so that each grant delivers one.
    virtual PlaybackOutcome emit_range(std::size_t rows, bool end_token);
};

/// The main range: optionally waits for backfilling and emits its marker, then one row per
/// token, then one more token for the row that does not exist (the end of the stream).
/// An empty range takes no token.
PlaybackOutcome play_main_range(PlaybackPort &port, std::size_t rows, bool await_backfilling);

/// The backfilling range: one row per token, no token after the last row.
PlaybackOutcome play_backfilling_range(PlaybackPort &port, std::size_t rows);

} // namespace quarvel::core::ticker
