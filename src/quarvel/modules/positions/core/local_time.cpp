#include "local_time.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace quarvel::core::quotes {

namespace {

constexpr double kMicrosPerSecond = 1e6;
// 2^63 as a double: the first value that no longer fits a signed 64-bit count.
constexpr double kInt64Limit = 9223372036854775808.0;

double round_half_even(double x) {
    double rounded = std::round(x);
    if (std::fabs(x - rounded) == 0.5)
        rounded = 2.0 * std::round(x / 2.0);
    return rounded;
}

} // namespace

std::optional<SplitTime> split_timestamp(double seconds) {
    if (std::isnan(seconds))
        return std::nullopt;
    double whole = 0.0;
    double fraction = std::modf(seconds, &whole) * kMicrosPerSecond;
    fraction = round_half_even(fraction);
    if (fraction >= kMicrosPerSecond) {
        fraction -= kMicrosPerSecond;
        whole += 1.0;
    } else if (fraction < 0) {
        fraction += kMicrosPerSecond;
        whole -= 1.0;
    }
    if (!(whole >= -kInt64Limit && whole < kInt64Limit))
        return std::nullopt;
    return SplitTime{static_cast<std::int64_t>(whole), static_cast<std::int32_t>(fraction)};
}

std::optional<std::string> format_local_datetime(SplitTime time) {
    auto seconds = static_cast<std::time_t>(time.seconds);
    std::tm local{};
    if (!localtime_r(&seconds, &local))
        return std::nullopt;
    long long year = local.tm_year + 1900LL;
    if (year < 1000 || year > 9999)
        return std::nullopt;
    // A leap second (tm_sec 60) is shown as 59, as datetime does.
    int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    char text[40];
    int length = std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d.%06d", year,
                               local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, second,
                               static_cast<int>(time.micros));
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace quarvel::core::quotes
