#pragma once
// Bars followed from the tick store as it grows: the driver's bar events and the strategy's
// bar views. GIL held in everything below.
#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "core/bar_stream.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

namespace nb = nanobind;

/// One followed series (code, unit, freq) and how far into the store it has read.
struct FeedSeries {
    std::string code, unit;
    std::int64_t freq = 0;
    nb::object code_obj, unit_obj;
    core::quotes::BarStream stream;
    nb::object history;        // the history rows object read so far
    std::size_t position = 0;  // rows read, history first, then pending
    std::size_t delivered = 0; // closed bars already handed out as events
    bool subscribed = false;
    StoreLookup lookup; // the code's record and rows as last read
};

/// The series a run follows in one QuoteManager.
struct BarFeed {
    BarFeed(nb::object q, nb::object type, bool packs)
        : quotes(std::move(q)), bar_type(std::move(type)), packs_only(packs) {}
    BarFeed(const BarFeed &) = delete;
    BarFeed &operator=(const BarFeed &) = delete;

    nb::object quotes;
    nb::object bar_type; // called as bar_type(dt, Open, High, Low, Close, Volume, unit, freq)
    bool packs_only;     // bar_type only packs those into a tuple: made as tuple.__new__ does
    std::vector<std::unique_ptr<FeedSeries>> series;
};

/// A copy of the last bars of a series: columns as numpy arrays, a polars table on demand.
struct BarsView {
    std::string code;
    std::vector<core::quotes::Bar> bars;
};

void bind_bar_feed(nb::module_ &m);
/// BarFeed.poll as a replay entry (see _native/replay_entries.hpp).
PyObject *poll_entry(PyObject *feed);

} // namespace quarvel::positions
