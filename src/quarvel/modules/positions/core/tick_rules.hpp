#pragma once
// Bounds of the quote store's per-tick work: how far back gap filling reaches.
#include <cstdint>
#include <string>

#include "trading_calendar.hpp"

namespace quarvel::core::quotes {

/// Longest gap, in calendar days, that gap filling bridges with virtual rows. Its trading
/// minutes bound the rows one tick can add; a longer silence is a data fault, not a pause.
inline constexpr std::int64_t kMaxGapDays = 400;

inline constexpr const char *kGapLabel = "補齊的時間區間過長";

/// "%Y-%m-%d %H:%M:%S.%f" of a local date-time.
std::string local_text(LocalMicros t);

/// Throws core::Error "<label>: <last> 至 <now>" when more than kMaxGapDays of whole
/// minutes lie between the previous row at `last` and a tick at `now`.
void check_gap(LocalMicros last, LocalMicros now);

} // namespace quarvel::core::quotes
