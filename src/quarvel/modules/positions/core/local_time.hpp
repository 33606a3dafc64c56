#pragma once
// Epoch seconds as the host's local date-time text, the way the ledger stamps records.
#include <cstdint>
#include <optional>
#include <string>

namespace quarvel::core::quotes {

/// Whole seconds and microseconds (0..999999) of a timestamp.
struct SplitTime {
    std::int64_t seconds;
    std::int32_t micros;
};

/// Splits fractional epoch seconds like the interpreter's datetime.fromtimestamp: the
/// fraction is rounded to microseconds half-even, carrying into the seconds (also for
/// negative timestamps). Empty for NaN or seconds outside 64 bits.
std::optional<SplitTime> split_timestamp(double seconds);

/// "%Y-%m-%d %H:%M:%S.%f" in local time, six fraction digits always. Empty when the local
/// time cannot be computed or its year is outside 1000..9999; callers then defer to the
/// interpreter, which reports those cases its own way.
std::optional<std::string> format_local_datetime(SplitTime time);

} // namespace quarvel::core::quotes
