#pragma once
// Calendar and minute arithmetic of the quote store: naive local date-times, the host's
// local time zone, non-trading windows and the minutes that get virtual ticks.
#include <cstdint>
#include <functional>
#include <vector>

namespace quarvel::core::quotes {

/// A naive local date-time in microseconds since 1970-01-01 00:00, no time zone: the
/// physical value of a polars Datetime("us").
using LocalMicros = std::int64_t;

inline constexpr std::int64_t kMicrosPerSecond = 1'000'000;
inline constexpr std::int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
inline constexpr std::int64_t kMicrosPerHour = 60 * kMicrosPerMinute;
inline constexpr std::int64_t kMicrosPerDay = 24 * kMicrosPerHour;

struct CivilDateTime {
    int year, month, day, hour, minute, second, microsecond;
};

/// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
std::int64_t days_from_civil(std::int64_t year, int month, int day);
/// Splits a local date-time into its calendar fields.
CivilDateTime civil_from_local(LocalMicros t);
/// Builds a local date-time from calendar fields.
LocalMicros local_from_civil(const CivilDateTime &c);
/// Day number (days since 1970-01-01) of a local date-time.
std::int64_t day_number(LocalMicros t);
/// Microseconds since the local midnight.
std::int64_t time_of_day(LocalMicros t);
/// Weekday of a day number, Monday = 0 ... Sunday = 6.
int weekday(std::int64_t day);

/// Splits a float timestamp (seconds) into whole seconds and microseconds the way
/// datetime.fromtimestamp does (round half to even). False when not finite or too large.
bool split_timestamp(double timestamp, std::int64_t &seconds, std::int64_t &micros);
/// Naive local date-time of a Unix time in the host's time zone, as datetime.fromtimestamp
/// gives it. False when the platform cannot convert it.
bool local_from_unix(std::int64_t seconds, std::int64_t micros, LocalMicros &out);

/// A non-trading window of one market: times of day in microseconds, both bounds inclusive.
struct TimeWindow {
    std::int64_t start;
    std::int64_t end;
};

/// A tick inside a window is moved to one second before the window's start (whole seconds
/// of the start, the tick's date and microseconds kept); other ticks are returned as given.
LocalMicros move_out_of_window(LocalMicros t, const std::vector<TimeWindow> &windows);

/// Whole minutes strictly after `last`'s minute up to and including `now`'s minute.
std::int64_t missing_minute_count(LocalMicros last, LocalMicros now);

/// Trading day of a minute: the previous calendar day up to 05:00:00, else its own day.
std::int64_t trading_day(LocalMicros minute);

/// True when a minute falls on a weekend without a session. A futures minute up to
/// 05:00:00 closes the night session of the previous day, so that day's weekday decides.
bool closed_for_weekend(LocalMicros minute, bool is_future);

/// The minute starts after `last` that get virtual ticks before a tick at `now`: nothing
/// when fewer than two minutes passed; weekends, windows and holidays are skipped.
/// `is_holiday` is asked once per trading day with its day number.
std::vector<LocalMicros> virtual_minutes(LocalMicros last, LocalMicros now, bool is_future,
                                         const std::vector<TimeWindow> &windows,
                                         const std::function<bool(std::int64_t)> &is_holiday);

} // namespace quarvel::core::quotes
