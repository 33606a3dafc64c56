#pragma once
// K-bars (open, high, low, close, volume per bucket and code) from stored tick rows: the
// full build over a whole history and the incremental merge of rows stored since.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kbar_buckets.hpp"
#include "tick_columns.hpp"

namespace quarvel::core::quotes {

/// One K-bar; `code` indexes the code table of the rows it was built from.
struct Bar {
    LocalMicros dt; // bucket start
    std::uint32_t code;
    double open, high, low, close; // prices in currency
    std::int64_t volume;           // lots or contracts
    bool operator==(const Bar &) const = default;
};

/// Bars of rows [begin, end), the rows taken in dt order (equal times in row order) and
/// grouped by (bucket, code); buckets before `first_bucket` and, when `skip_simulated`,
/// trial-matching rows are left out. Sorted by dt; bars of one dt in order of appearance.
std::vector<Bar> aggregate_rows(const TickStore &rows, std::size_t begin, std::size_t end,
                                const BarWidth &width,
                                LocalMicros first_bucket = std::numeric_limits<LocalMicros>::min(),
                                bool skip_simulated = false);

/// The state of one cached K-bar series: how far into the history it has read and the bars
/// of its last bucket, which later rows may still change.
class IncrementalBars {
  public:
    IncrementalBars(BarWidth width, std::size_t position, std::vector<Bar> tail)
        : width_(width), position_(position), tail_(std::move(tail)) {}

    /// Merges the rows stored after the position into the last bucket and new buckets.
    /// Rows of earlier buckets (late ticks) and trial-matching rows are left out. Returns
    /// the bars that stopped being last, in order; `had_rows` tells whether any row was new.
    struct Merge {
        bool had_rows = false;
        std::vector<Bar> completed;
    };
    Merge merge(const TickStore &rows);

    const BarWidth &width() const { return width_; }
    std::size_t position() const { return position_; }
    const std::vector<Bar> &tail() const { return tail_; }

  private:
    BarWidth width_;
    std::size_t position_;
    std::vector<Bar> tail_;
};

/// The bars of the greatest dt of a sorted series, and the count of those before them.
std::size_t tail_start(const std::vector<Bar> &bars);

} // namespace quarvel::core::quotes
