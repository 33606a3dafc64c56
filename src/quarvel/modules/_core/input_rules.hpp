#pragma once
// Values the simulator refuses before it changes anything. Every refusal is a core::Error
// whose text is "<label>: <value>", the value written as the interpreter writes it, so the
// binding layer only maps it to ValueError.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "code_check.hpp"
#include "error.hpp"

namespace quarvel::core::input_rules {

/// Highest price accepted, in money units per share or per index point. Far above any
/// listed product, and low enough that price × 10^9 lots × 1000 shares stays finite.
inline constexpr double kMaxPrice = 1e9;
/// Most lots (stocks) or contracts (futures) one order or one tick may carry (an order's
/// bounds are the exchange's order rules).
inline constexpr std::int64_t kMaxLots = 1'000'000'000;
/// Earliest tick time accepted: 1971-01-01 00:00:00 UTC, in seconds since the epoch.
inline constexpr double kEarliestTime = 31'536'000.0;
/// First instant no longer accepted: 2101-01-01 00:00:00 UTC, in seconds since the epoch.
inline constexpr double kEndOfTime = 4'133'980'800.0;
/// Longest product code, in characters (code points).
inline constexpr std::size_t kMaxCodeChars = 32;

inline constexpr std::string_view kDealPriceLabel = "不合理的成交價格";
inline constexpr std::string_view kLimitPriceLabel = "不合理的委託價格";
inline constexpr std::string_view kTickTimeLabel = "不合理的成交時間";
inline constexpr std::string_view kOrderLotsLabel = "委託數量超過上限";
inline constexpr std::string_view kTickLotsLabel = "成交數量超過上限";
inline constexpr std::string_view kDealLotsLabel = "不合理的成交數量";
inline constexpr std::string_view kCodeLabel = "不合法的商品代碼";

/// `value` as repr(float) writes it: shortest round trip, exponent form below 1e-4 and from
/// 1e16 on ("1e+16", "1.5e-05"), otherwise a plain decimal with at least one fraction digit.
inline std::string float_text(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buffer[64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    (void)ec; // 64 bytes always hold a double
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    std::string sign;
    if (text.front() == '-') {
        sign = "-";
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits(text.substr(0, e));
    if (digits.size() > 1)
        digits.erase(1, 1); // the '.' after the first digit
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    const int point = exponent + 1; // digits before the decimal point
    if (point < -3 || point > 16) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10)
            out += "0";
        return out + std::to_string(magnitude);
    }
    if (point <= 0)
        return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    const auto whole = static_cast<std::size_t>(point);
    if (digits.size() <= whole)
        return sign + digits + std::string(whole - digits.size(), '0') + ".0";
    return sign + digits.substr(0, whole) + "." + digits.substr(whole);
}

[[noreturn]] inline void refuse(std::string_view label, const std::string &value) {
    throw Error(std::string(label) + ": " + value);
}

/// A usable price: finite, above 0 and at most kMaxPrice.
inline bool is_usable_price(double price) {
    return std::isfinite(price) && price > 0.0 && price <= kMaxPrice;
}

/// A deal price or a tick close, in money units.
inline void check_deal_price(double price) {
    if (!is_usable_price(price))
        refuse(kDealPriceLabel, float_text(price));
}

/// A limit order's price; a market-type order's price is never used, so any value passes.
inline void check_limit_price(double price, bool is_limit) {
    if (is_limit && !is_usable_price(price))
        refuse(kLimitPriceLabel, float_text(price));
}

/// A tick time in seconds since the epoch: finite and within [kEarliestTime, kEndOfTime).
inline void check_tick_time(double seconds) {
    if (!(seconds >= kEarliestTime && seconds < kEndOfTime))
        refuse(kTickTimeLabel, float_text(seconds));
}

/// A tick's traded quantity in lots or contracts.
inline void check_tick_lots(std::int64_t lots) {
    if (lots > kMaxLots)
        refuse(kTickLotsLabel, std::to_string(lots));
}

/// A deal's quantity as the ledger books it: 0 to kMaxLots lots or contracts.
inline void check_deal_lots(std::int64_t lots) {
    if (lots < 0 || lots > kMaxLots)
        refuse(kDealLotsLabel, std::to_string(lots));
}

/// Code points in valid UTF-8 text: every byte that does not continue a sequence.
inline std::size_t utf8_length(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char byte : text)
        count += (byte & 0xC0) != 0x80;
    return count;
}

/// A product code (its UTF-8 bytes): safe as a file-name part and at most kMaxCodeChars
/// characters. Text that cannot be encoded never gets here.
inline bool is_usable_code(std::string_view utf8) {
    return is_safe_code(utf8) && utf8_length(utf8) <= kMaxCodeChars;
}

} // namespace quarvel::core::input_rules
