#pragma once
// K-bar bucket starts, with the truncation rules of polars' dt.truncate on naive times:
// weeks start on Monday, months, quarters and years are calendar periods counted from
// January 1970, every other width is counted from 1970-01-01 00:00.
#include <cstdint>
#include <optional>
#include <string_view>

#include "trading_calendar.hpp"

namespace quarvel::core::quotes {

enum class BarUnit { Minute, Hour, Day, Week, Month, Quarter, Year };

/// The unit named by "m", "h", "d", "w", "mo", "q" or "y"; nothing for any other text.
std::optional<BarUnit> parse_bar_unit(std::string_view text);

/// A bucket width: `count` times the unit.
struct BarWidth {
    BarUnit unit;
    std::int64_t count;
    bool operator==(const BarWidth &) const = default;
};

/// Checks a width: throws Error when `count` is not positive or the width overflows.
BarWidth make_bar_width(BarUnit unit, std::int64_t count);

/// Start of the bucket that holds `t`.
LocalMicros truncate_to_bucket(LocalMicros t, const BarWidth &width);

} // namespace quarvel::core::quotes
