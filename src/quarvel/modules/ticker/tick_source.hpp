#pragma once
// The rows of one played table in native form, and the one builder of the tick dict.
// GIL held in every function here, except where a comment says otherwise.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "_native/replay_entries.hpp"
#include "core/handoff_queue.hpp"

namespace quarvel::ticker {
namespace nb = nanobind;

/// What the tick dict needs beyond a row's numbers: per-code objects and the time helper,
/// fixed when the playback starts (a code's market never changes once recorded).
struct TickDictParts {
    std::vector<nb::object> codes;
    std::vector<nb::object> markets;
    nb::object to_seconds; ///< format_nano_ts_to_second_ts
    nb::object hours;      ///< its second argument, 8
    /// to_seconds is quarvel.utils' own function: the same sum is done here, without a call.
    bool native_seconds = false;
    /// Per code and backfilling flag, the tick dict's keys with the values that stay the same
    /// (market, code, the two flags): a tick copies it and sets only the other four. Made on
    /// first use, with the GIL held.
    mutable std::vector<nb::object> shapes;
};
using TickDictPartsPtr = std::shared_ptr<const TickDictParts>;

/// Numeric columns of a table, read in place: the held numpy arrays keep the memory alive,
/// and `view` may be read without the GIL while this object lives.
struct PlayedTable {
    core::ticker::PlayedColumns view;
    std::vector<nb::object> keep_alive;
    std::vector<nb::object> codes; ///< code str per code index
};

/// Reads the columns `ts`, `close`, `volume`, `tick_type`, `code` of a polars table.
/// ValueError when a value is missing.
PlayedTable read_played_table(nb::handle df);

/// The per-code objects of `columns`, markets taken from `code_market_map`.
TickDictPartsPtr make_row_source(const PlayedTable &columns, nb::handle code_market_map);

/// The tick dict of a row: market_type, timestamp, code, close, qty, tick_type,
/// is_simulate, is_backfilling, in that order.
/// With `made`, also the dict and its values as the replay step passes them on.
nb::object make_tick_dict(const TickDictParts &source, const core::ticker::PlayedTick &row,
                          native::ReplayTick *made = nullptr);

/// The status marker {"orva_status": FLAG.<name>.value}.
nb::object make_status_marker(const char *flag_name);

/// A HandoffQueue as Python sees it: queue.Queue's methods over the native queue. Rows
/// and markers travel natively and become Python objects only when taken.
class PyHandoffQueue {
  public:
    explicit PyHandoffQueue(std::uint32_t spin_micros) : queue_(spin_micros) {}
    ~PyHandoffQueue();
    PyHandoffQueue(const PyHandoffQueue &) = delete;
    PyHandoffQueue &operator=(const PyHandoffQueue &) = delete;

    core::ticker::HandoffQueue &native() { return queue_; }
    std::uint32_t register_source(TickDictPartsPtr source);

    /// The native form of a Python object (True becomes a token, the rest is owned).
    static core::ticker::QueueItem wrap(nb::handle obj);
    /// The Python object of an item taken from the queue (takes over its reference).
    /// With `made`, a row's tick dict and values are also given there (`dict` stays null
    /// for anything else).
    nb::object unwrap(const core::ticker::QueueItem &item,
                      native::ReplayTick *made = nullptr) const;
    /// Releases what an item owns, for items dropped rather than taken.
    static void discard(const core::ticker::QueueItem &item);

    /// Puts `obj`; when it released a staged row instead, what it held is released here.
    void put(nb::handle obj) {
        if (auto consumed = queue_.put(wrap(obj)))
            discard(*consumed);
    }
    /// Blocks as queue.Queue.get does; raises queue.Empty. Waits with the GIL released, in
    /// short slices so that Ctrl-C arrives as KeyboardInterrupt.
    nb::object get(bool block, nb::handle timeout, native::ReplayTick *made = nullptr);

  private:
    core::ticker::HandoffQueue queue_;
    std::vector<TickDictPartsPtr> sources_;
};

} // namespace quarvel::ticker
