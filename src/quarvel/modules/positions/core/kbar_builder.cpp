#include "kbar_builder.hpp"

#include <algorithm>

namespace quarvel::core::quotes {

namespace {

Bar open_bar(LocalMicros bucket, std::uint32_t code, double price, std::int64_t qty) {
    return {bucket, code, price, price, price, price, qty};
}

void add_to_bar(Bar &bar, double price, std::int64_t qty) {
    bar.high = std::max(bar.high, price);
    bar.low = std::min(bar.low, price);
    bar.close = price;
    bar.volume += qty;
}

} // namespace

std::vector<Bar> aggregate_rows(const TickStore &rows, std::size_t begin, std::size_t end,
                                const BarWidth &width, LocalMicros first_bucket,
                                bool skip_simulated) {
    std::vector<Bar> bars;
    const std::vector<std::uint32_t> order = rows.order_by_dt(begin, end);
    const auto &dt = rows.dt();
    const auto &close = rows.close();
    const auto &qty = rows.qty();
    std::size_t bucket_begin = 0; // first bar of the current bucket
    for (std::uint32_t i : order) {
        if (skip_simulated && rows.is_simulate(i))
            continue;
        const LocalMicros bucket = truncate_to_bucket(dt[i], width);
        if (bucket < first_bucket)
            continue;
        if (bars.empty() || bars.back().dt != bucket)
            bucket_begin = bars.size();
        const std::uint32_t code = rows.code(i);
        auto found = std::find_if(bars.begin() + static_cast<std::ptrdiff_t>(bucket_begin),
                                  bars.end(), [code](const Bar &b) { return b.code == code; });
        if (found == bars.end())
            bars.push_back(open_bar(bucket, code, close[i], qty[i]));
        else
            add_to_bar(*found, close[i], qty[i]);
    }
    return bars;
}

IncrementalBars::Merge IncrementalBars::merge(const TickStore &rows) {
    Merge result;
    if (position_ >= rows.size())
        return result;
    result.had_rows = true;
    const LocalMicros last_dt =
        tail_.empty() ? std::numeric_limits<LocalMicros>::min() : tail_.front().dt;
    std::vector<Bar> fresh = aggregate_rows(rows, position_, rows.size(), width_, last_dt, true);
    position_ = rows.size();
    for (const Bar &bar : fresh) {
        if (!tail_.empty() && bar.dt > tail_.front().dt) {
            result.completed.insert(result.completed.end(), tail_.begin(), tail_.end());
            tail_.clear();
        }
        auto same = std::find_if(tail_.begin(), tail_.end(),
                                 [&bar](const Bar &b) { return b.code == bar.code; });
        if (same == tail_.end()) {
            tail_.push_back(bar);
            continue;
        }
        // The cached bar keeps its open and takes the newest close.
        same->high = std::max(same->high, bar.high);
        same->low = std::min(same->low, bar.low);
        same->close = bar.close;
        same->volume += bar.volume;
    }
    return result;
}

std::size_t tail_start(const std::vector<Bar> &bars) {
    std::size_t start = bars.size();
    while (start > 0 && bars[start - 1].dt == bars.back().dt)
        --start;
    return start;
}

} // namespace quarvel::core::quotes
