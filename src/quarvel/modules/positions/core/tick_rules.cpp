#include "tick_rules.hpp"

#include <cstdio>

#include "error.hpp"

namespace quarvel::core::quotes {

std::string local_text(LocalMicros t) {
    const CivilDateTime c = civil_from_local(t);
    char text[48];
    const int size = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", c.year,
                                   c.month, c.day, c.hour, c.minute, c.second, c.microsecond);
    return std::string(text, static_cast<std::size_t>(size));
}

void check_gap(LocalMicros last, LocalMicros now) {
    constexpr std::int64_t kMaxMinutes = kMaxGapDays * (kMicrosPerDay / kMicrosPerMinute);
    if (missing_minute_count(last, now) > kMaxMinutes)
        throw core::Error(std::string(kGapLabel) + ": " + local_text(last) + " 至 " +
                          local_text(now));
}

} // namespace quarvel::core::quotes
