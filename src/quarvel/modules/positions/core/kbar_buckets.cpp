#include "kbar_buckets.hpp"

#include <limits>
#include <string>

#include "error.hpp"

namespace quarvel::core::quotes {

namespace {

/// Length of one unit in microseconds; 0 for the calendar units.
std::int64_t fixed_micros(BarUnit unit) {
    switch (unit) {
    case BarUnit::Minute:
        return kMicrosPerMinute;
    case BarUnit::Hour:
        return kMicrosPerHour;
    case BarUnit::Day:
        return kMicrosPerDay;
    case BarUnit::Week:
        return 7 * kMicrosPerDay;
    default:
        return 0;
    }
}

std::int64_t months_per_unit(BarUnit unit) {
    switch (unit) {
    case BarUnit::Quarter:
        return 3;
    case BarUnit::Year:
        return 12;
    default:
        return 1;
    }
}

std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

// 1970-01-05 was the first Monday after the epoch.
constexpr std::int64_t kFirstMonday = 4 * kMicrosPerDay;

} // namespace

std::optional<BarUnit> parse_bar_unit(std::string_view text) {
    if (text == "m")
        return BarUnit::Minute;
    if (text == "h")
        return BarUnit::Hour;
    if (text == "d")
        return BarUnit::Day;
    if (text == "w")
        return BarUnit::Week;
    if (text == "mo")
        return BarUnit::Month;
    if (text == "q")
        return BarUnit::Quarter;
    if (text == "y")
        return BarUnit::Year;
    return std::nullopt;
}

BarWidth make_bar_width(BarUnit unit, std::int64_t count) {
    if (count <= 0)
        throw Error("K 棒週期必須為正整數: " + std::to_string(count));
    const std::int64_t unit_micros = fixed_micros(unit);
    const std::int64_t limit = unit_micros ? std::numeric_limits<std::int64_t>::max() / unit_micros
                                           : 1'000'000'000 / months_per_unit(unit);
    if (count > limit)
        throw Error("K 棒週期過大: " + std::to_string(count));
    return {unit, count};
}

LocalMicros truncate_to_bucket(LocalMicros t, const BarWidth &width) {
    const std::int64_t unit_micros = fixed_micros(width.unit);
    if (width.unit == BarUnit::Week) {
        const std::int64_t every = width.count * unit_micros;
        return t - floor_mod(t - kFirstMonday, every);
    }
    if (unit_micros) {
        const std::int64_t every = width.count * unit_micros;
        return t - floor_mod(t, every);
    }
    const CivilDateTime c = civil_from_local(t);
    const std::int64_t months = (static_cast<std::int64_t>(c.year) - 1970) * 12 + (c.month - 1);
    const std::int64_t start =
        months - floor_mod(months, width.count * months_per_unit(width.unit));
    const std::int64_t year = 1970 + (start >= 0 ? start / 12 : -((-start + 11) / 12));
    const int month = static_cast<int>(start - (year - 1970) * 12) + 1;
    return days_from_civil(year, month, 1) * kMicrosPerDay;
}

} // namespace quarvel::core::quotes
