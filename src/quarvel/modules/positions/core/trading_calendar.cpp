#include "trading_calendar.hpp"

#include <cmath>
#include <ctime>

namespace quarvel::core::quotes {

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
    return a - floor_div(a, b) * b;
}

bool inside(std::int64_t time, const TimeWindow &w) {
    return w.start <= time && time <= w.end;
}

} // namespace

// Howard Hinnant's days_from_civil / civil_from_days.
std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = floor_div(year, 400);
    const std::int64_t yoe = year - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilDateTime civil_from_local(LocalMicros t) {
    const std::int64_t days = day_number(t);
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    const std::int64_t tod = time_of_day(t);
    return {static_cast<int>(year),
            static_cast<int>(month),
            static_cast<int>(day),
            static_cast<int>(tod / kMicrosPerHour),
            static_cast<int>(tod / kMicrosPerMinute % 60),
            static_cast<int>(tod / kMicrosPerSecond % 60),
            static_cast<int>(tod % kMicrosPerSecond)};
}

LocalMicros local_from_civil(const CivilDateTime &c) {
    return days_from_civil(c.year, c.month, c.day) * kMicrosPerDay + c.hour * kMicrosPerHour +
           c.minute * kMicrosPerMinute + c.second * kMicrosPerSecond + c.microsecond;
}

std::int64_t day_number(LocalMicros t) {
    return floor_div(t, kMicrosPerDay);
}

std::int64_t time_of_day(LocalMicros t) {
    return floor_mod(t, kMicrosPerDay);
}

int weekday(std::int64_t day) {
    return static_cast<int>(floor_mod(day + 3, 7));
}

bool split_timestamp(double timestamp, std::int64_t &seconds, std::int64_t &micros) {
    if (!std::isfinite(timestamp) || std::fabs(timestamp) >= 1e11)
        return false;
    double whole = 0.0;
    double fraction = std::modf(timestamp, &whole) * 1e6;
    fraction = std::nearbyint(fraction); // default rounding mode: half to even
    if (fraction >= 1e6) {
        fraction -= 1e6;
        whole += 1.0;
    } else if (fraction < 0) {
        fraction += 1e6;
        whole -= 1.0;
    }
    seconds = static_cast<std::int64_t>(whole);
    micros = static_cast<std::int64_t>(fraction);
    return true;
}

bool local_from_unix(std::int64_t seconds, std::int64_t micros, LocalMicros &out) {
    if (seconds <= -100'000'000'000LL || seconds >= 100'000'000'000LL)
        return false;
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!localtime_r(&when, &parts))
        return false;
    // A leap second reads as :59, as in datetime.fromtimestamp.
    const int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    out = local_from_civil({parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                            parts.tm_min, second, static_cast<int>(micros)});
    return true;
}

LocalMicros move_out_of_window(LocalMicros t, const std::vector<TimeWindow> &windows) {
    const std::int64_t tod = time_of_day(t);
    for (const TimeWindow &w : windows) {
        if (!inside(tod, w))
            continue;
        const std::int64_t whole_start = w.start - floor_mod(w.start, kMicrosPerSecond);
        return day_number(t) * kMicrosPerDay + whole_start + floor_mod(tod, kMicrosPerSecond) -
               kMicrosPerSecond;
    }
    return t;
}

std::int64_t missing_minute_count(LocalMicros last, LocalMicros now) {
    const std::int64_t count = floor_div(now, kMicrosPerMinute) - floor_div(last, kMicrosPerMinute);
    return count > 0 ? count : 0;
}

std::int64_t trading_day(LocalMicros minute) {
    const std::int64_t day = day_number(minute);
    return time_of_day(minute) <= 5 * kMicrosPerHour ? day - 1 : day;
}

bool closed_for_weekend(LocalMicros minute, bool is_future) {
    const std::int64_t day = day_number(minute);
    if (is_future && time_of_day(minute) <= 5 * kMicrosPerHour)
        return weekday(day - 1) >= 5;
    return weekday(day) >= 5;
}

std::vector<LocalMicros> virtual_minutes(LocalMicros last, LocalMicros now, bool is_future,
                                         const std::vector<TimeWindow> &windows,
                                         const std::function<bool(std::int64_t)> &is_holiday) {
    std::vector<LocalMicros> minutes;
    const std::int64_t count = missing_minute_count(last, now);
    if (count <= 1)
        return minutes;
    const LocalMicros first = floor_div(last, kMicrosPerMinute) * kMicrosPerMinute;
    std::int64_t known_day = 0;
    bool known_closed = false, known = false;
    for (std::int64_t i = 1; i <= count; ++i) {
        const LocalMicros minute = first + i * kMicrosPerMinute;
        if (closed_for_weekend(minute, is_future))
            continue;
        const std::int64_t tod = time_of_day(minute);
        bool in_window = false;
        for (const TimeWindow &w : windows)
            in_window = in_window || inside(tod, w);
        if (in_window)
            continue;
        const std::int64_t day = trading_day(minute);
        if (!known || day != known_day) {
            known_day = day;
            known_closed = is_holiday(day);
            known = true;
        }
        if (!known_closed)
            minutes.push_back(minute);
    }
    return minutes;
}

} // namespace quarvel::core::quotes
