#pragma once
// The local zone's offset from UTC, remembered per hour: localtime_r reads the TZ rules on
// every call (parsing a TZ string each time), which costs more than the rest of storing a
// tick.
#include <cstdint>

namespace quarvel::core::quotes {

/// Local wall-clock minus UTC, in seconds, at `seconds` since the epoch. False when
/// localtime_r fails or the hour holds a change of offset (the caller asks localtime_r).
bool hourly_zone_offset(std::int64_t seconds, std::int64_t &offset);

} // namespace quarvel::core::quotes
