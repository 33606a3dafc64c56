#pragma once
// K-bars of one code built row by row while the tick store grows, so a strategy learns that
// a bar closed without any table being built. The rules are those of a cached K-bar series:
// rows are taken in dt order within each batch, a row of a bucket before the open one (a
// late tick) and trial-matching rows are left out, and a bar closes when a row of a later
// bucket arrives (virtual rows of quiet minutes included).
#include <cstddef>
#include <vector>

#include "kbar_builder.hpp"

namespace quarvel::core::quotes {

class BarStream {
  public:
    explicit BarStream(BarWidth width) : width_(width) {}

    /// Takes rows [begin, end) of `rows`; bars that close are appended to `closed()`.
    void feed(const TickStore &rows, std::size_t begin, std::size_t end);
    /// Forgets every bar (the store was replaced).
    void clear();

    const BarWidth &width() const { return width_; }
    const std::vector<Bar> &closed() const { return closed_; }
    /// The bar still forming; valid only when `forming_open()`.
    const Bar &forming() const { return open_; }
    bool forming_open() const { return has_open_; }

  private:
    void take(LocalMicros dt, double price, std::int64_t qty);

    BarWidth width_;
    std::vector<Bar> closed_;
    Bar open_{};
    bool has_open_ = false;
};

} // namespace quarvel::core::quotes
