#include "bar_stream.hpp"

#include <algorithm>

namespace quarvel::core::quotes {

void BarStream::feed(const TickStore &rows, std::size_t begin, std::size_t end) {
    const auto &dt = rows.dt();
    const auto &close = rows.close();
    const auto &qty = rows.qty();
    auto take_row = [&](std::size_t i) {
        if (!rows.is_simulate(i))
            take(dt[i], close[i], qty[i]);
    };
    // Batches are nearly always in time order already; sort only when they are not.
    const bool sorted = std::is_sorted(dt.begin() + static_cast<std::ptrdiff_t>(begin),
                                       dt.begin() + static_cast<std::ptrdiff_t>(end));
    if (sorted) {
        for (std::size_t i = begin; i < end; ++i)
            take_row(i);
        return;
    }
    for (std::uint32_t i : rows.order_by_dt(begin, end))
        take_row(i);
}

void BarStream::take(LocalMicros t, double price, std::int64_t qty) {
    const LocalMicros bucket = truncate_to_bucket(t, width_);
    if (has_open_) {
        if (bucket < open_.dt)
            return; // a late tick: the cached series leaves it out as well
        if (bucket == open_.dt) {
            open_.high = std::max(open_.high, price);
            open_.low = std::min(open_.low, price);
            open_.close = price;
            open_.volume += qty;
            return;
        }
        closed_.push_back(open_);
    }
    open_ = {bucket, 0, price, price, price, price, qty};
    has_open_ = true;
}

void BarStream::clear() {
    closed_.clear();
    has_open_ = false;
}

} // namespace quarvel::core::quotes
