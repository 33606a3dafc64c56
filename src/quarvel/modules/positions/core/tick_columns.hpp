#pragma once
// Columnar storage of tick rows: one vector per field, the two text fields as indexes
// into small string tables (a store holds one code and one or two market types).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trading_calendar.hpp"

namespace quarvel::core::quotes {

/// One tick row. `market` and `code` index the store's string tables.
struct StoredTick {
    LocalMicros dt;
    double close;     // price in currency
    std::int64_t qty; // lots or contracts; 0 for a virtual row
    std::int8_t tick_type;
    bool is_simulate;
    bool is_virtual;
    std::uint32_t market;
    std::uint32_t code;
};

class TickStore {
  public:
    /// Index of `text` in the table of market types, added when new.
    std::uint32_t market_id(std::string_view text) { return intern(markets_, text); }
    /// Index of `text` in the table of codes, added when new.
    std::uint32_t code_id(std::string_view text) { return intern(codes_, text); }
    const std::string &market_text(std::uint32_t id) const { return markets_[id]; }
    const std::string &code_text(std::uint32_t id) const { return codes_[id]; }
    const std::vector<std::string> &markets() const { return markets_; }
    const std::vector<std::string> &codes() const { return codes_; }

    void push(const StoredTick &row);
    StoredTick row(std::size_t i) const;
    std::size_t size() const { return dt_.size(); }
    bool empty() const { return dt_.empty(); }

    /// Appends every row of `other`, re-indexing its texts into this store's tables.
    void append(const TickStore &other);

    const std::vector<LocalMicros> &dt() const { return dt_; }
    const std::vector<double> &close() const { return close_; }
    const std::vector<std::int64_t> &qty() const { return qty_; }
    bool is_simulate(std::size_t i) const { return (flags_[i] & kSimulate) != 0; }
    std::uint32_t code(std::size_t i) const { return code_[i]; }

    /// Row indexes of [begin, end) ordered by dt, equal times kept in row order.
    std::vector<std::uint32_t> order_by_dt(std::size_t begin, std::size_t end) const;

    /// Bytes held by the row vectors (capacity, not size) and the string tables.
    std::size_t memory_bytes() const;

  private:
    static constexpr std::uint8_t kSimulate = 1;
    static constexpr std::uint8_t kVirtual = 2;
    static std::uint32_t intern(std::vector<std::string> &table, std::string_view text);

    std::vector<LocalMicros> dt_;
    std::vector<double> close_;
    std::vector<std::int64_t> qty_;
    std::vector<std::int8_t> tick_type_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::uint32_t> market_;
    std::vector<std::uint32_t> code_;
    std::vector<std::string> markets_;
    std::vector<std::string> codes_;
};

} // namespace quarvel::core::quotes
