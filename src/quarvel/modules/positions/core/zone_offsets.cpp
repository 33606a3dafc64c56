#include "zone_offsets.hpp"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

extern char **environ;

#include "trading_calendar.hpp"

namespace quarvel::core::quotes {

namespace {

constexpr std::int64_t kHour = 3600;

bool offset_at(std::int64_t seconds, std::int64_t &offset) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!localtime_r(&when, &parts) || parts.tm_sec > 59)
        return false; // a leap second: leave it to localtime_r
    const LocalMicros local =
        local_from_civil({parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                          parts.tm_min, parts.tm_sec, 0});
    offset = local / kMicrosPerSecond - seconds;
    return true;
}

/// The hour last looked up, per thread, under the TZ value it was looked up with.
struct HourCache {
    bool valid = false;
    bool tz_set = false;
    std::string tz;
    std::int64_t hour = 0;
    std::int64_t offset = 0;
};

thread_local HourCache cache;

/// getenv("TZ") without scanning the environment on every call (it runs once per tick):
/// the entry found last is used while the environment still holds it at the same place.
/// setenv, putenv and unsetenv replace or move the entry, so a change is seen.
const char *tz_value() {
    thread_local char **table = nullptr;
    thread_local std::size_t slot = 0;
    thread_local const char *entry = nullptr;
    if (entry && table == environ && environ[slot] == entry)
        return entry + 3;
    entry = nullptr;
    table = environ;
    for (std::size_t i = 0; environ && environ[i]; ++i) {
        if (std::strncmp(environ[i], "TZ=", 3) == 0) {
            slot = i;
            entry = environ[i];
            return entry + 3;
        }
    }
    return nullptr;
}

bool same_zone(const HourCache &c, const char *tz) {
    return tz ? (c.tz_set && c.tz == tz) : !c.tz_set;
}

} // namespace

bool hourly_zone_offset(std::int64_t seconds, std::int64_t &offset) {
    const std::int64_t hour = seconds >= 0 ? seconds / kHour : -((-seconds + kHour - 1) / kHour);
    const char *tz = tz_value(); // a process that changes TZ changes the rules
    if (cache.valid && cache.hour == hour && same_zone(cache, tz)) {
        offset = cache.offset;
        return true;
    }
    std::int64_t first = 0, last = 0;
    if (!offset_at(hour * kHour, first) || !offset_at(hour * kHour + kHour - 1, last) ||
        first != last) {
        cache.valid = false;
        return false;
    }
    cache = {true, tz != nullptr, tz ? std::string(tz) : std::string(), hour, first};
    offset = first;
    return true;
}

} // namespace quarvel::core::quotes
