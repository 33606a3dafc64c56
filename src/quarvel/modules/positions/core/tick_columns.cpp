#include "tick_columns.hpp"

#include <algorithm>
#include <numeric>

#include "error.hpp"

namespace quarvel::core::quotes {

std::uint32_t TickStore::intern(std::vector<std::string> &table, std::string_view text) {
    // The most recent entry is by far the most frequent hit.
    for (std::size_t i = table.size(); i-- > 0;)
        if (table[i] == text)
            return static_cast<std::uint32_t>(i);
    if (table.size() >= UINT32_MAX)
        throw Error("too many distinct texts in one tick store");
    table.emplace_back(text);
    return static_cast<std::uint32_t>(table.size() - 1);
}

void TickStore::push(const StoredTick &row) {
    dt_.push_back(row.dt);
    close_.push_back(row.close);
    qty_.push_back(row.qty);
    tick_type_.push_back(row.tick_type);
    flags_.push_back(static_cast<std::uint8_t>((row.is_simulate ? kSimulate : 0) |
                                               (row.is_virtual ? kVirtual : 0)));
    market_.push_back(row.market);
    code_.push_back(row.code);
}

StoredTick TickStore::row(std::size_t i) const {
    return {dt_[i],
            close_[i],
            qty_[i],
            tick_type_[i],
            (flags_[i] & kSimulate) != 0,
            (flags_[i] & kVirtual) != 0,
            market_[i],
            code_[i]};
}

void TickStore::append(const TickStore &other) {
    std::vector<std::uint32_t> markets, codes;
    for (const std::string &text : other.markets_)
        markets.push_back(market_id(text));
    for (const std::string &text : other.codes_)
        codes.push_back(code_id(text));
    dt_.insert(dt_.end(), other.dt_.begin(), other.dt_.end());
    close_.insert(close_.end(), other.close_.begin(), other.close_.end());
    qty_.insert(qty_.end(), other.qty_.begin(), other.qty_.end());
    tick_type_.insert(tick_type_.end(), other.tick_type_.begin(), other.tick_type_.end());
    flags_.insert(flags_.end(), other.flags_.begin(), other.flags_.end());
    for (std::uint32_t id : other.market_)
        market_.push_back(markets[id]);
    for (std::uint32_t id : other.code_)
        code_.push_back(codes[id]);
}

std::vector<std::uint32_t> TickStore::order_by_dt(std::size_t begin, std::size_t end) const {
    std::vector<std::uint32_t> order(end - begin);
    std::iota(order.begin(), order.end(), static_cast<std::uint32_t>(begin));
    if (!std::is_sorted(dt_.begin() + static_cast<std::ptrdiff_t>(begin),
                        dt_.begin() + static_cast<std::ptrdiff_t>(end)))
        std::stable_sort(order.begin(), order.end(),
                         [this](std::uint32_t a, std::uint32_t b) { return dt_[a] < dt_[b]; });
    return order;
}

std::size_t TickStore::memory_bytes() const {
    std::size_t bytes = dt_.capacity() * sizeof(LocalMicros) + close_.capacity() * sizeof(double) +
                        qty_.capacity() * sizeof(std::int64_t) + tick_type_.capacity() +
                        flags_.capacity() +
                        (market_.capacity() + code_.capacity()) * sizeof(std::uint32_t);
    for (const auto *table : {&markets_, &codes_})
        for (const std::string &text : *table)
            bytes += sizeof(std::string) + text.capacity();
    return bytes;
}

} // namespace quarvel::core::quotes
