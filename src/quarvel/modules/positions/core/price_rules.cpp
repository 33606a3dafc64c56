#include "price_rules.hpp"

#include <charconv>
#include <cmath>

#include "error.hpp"

namespace quarvel::core::ledger {

namespace {

struct Band {
    double bound;  // the band holds prices strictly below this
    double factor; // grid points per currency unit (0.2 for the band of 5)
    double tick;
    bool integral;
};

constexpr Band kFundBands[] = {{50, 100, 0.01, false}, {1000, 20, 0.05, false}};
constexpr Band kBands[] = {{10, 100, 0.01, false},
                           {50, 20, 0.05, false},
                           {100, 10, 0.1, false},
                           {500, 2, 0.5, false},
                           {1000, 1, 1, true}};
constexpr Band kTopBand = {INFINITY, 0.2, 5, true};

// Below this magnitude one ulp is far finer than 1e-6, so only values within half a
// millionth of a whole number can round onto it.
constexpr double kFastLimit = 2147483648.0;
constexpr double kNearWhole = 4.99999e-7;
constexpr double kFarFromWhole = 5.00001e-7;

const Band &band_for(bool fund_code, double price) {
    if (fund_code)
        for (const Band &band : kFundBands)
            if (price < band.bound)
                return band;
    for (const Band &band : kBands)
        if (price < band.bound)
            return band;
    return kTopBand;
}

} // namespace

bool is_fund_code(std::string_view code) {
    return code.substr(0, 2) == "00";
}

double round_to_6_decimals(double x) {
    if (!std::isfinite(x))
        return x;
    // Fixed notation with six decimals is correctly rounded (ties to even on the exact
    // value), and parsing it back gives the nearest double: the same two steps as Python.
    char text[400];
    auto written = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed, 6);
    if (written.ec != std::errc())
        throw Error("price out of range for rounding");
    double out = 0.0;
    auto parsed = std::from_chars(text, written.ptr, out);
    if (parsed.ec != std::errc())
        throw Error("price out of range for rounding");
    return out;
}

double ceil_rounded_6(double x) {
    double out;
    if (std::fabs(x) < kFastLimit) {
        double whole = std::nearbyint(x);
        double distance = std::fabs(x - whole); // exact: x and whole are this close
        if (distance < kNearWhole)
            out = whole;
        else if (distance > kFarFromWhole)
            out = std::ceil(x);
        else
            out = std::ceil(round_to_6_decimals(x));
    } else {
        out = std::ceil(round_to_6_decimals(x));
    }
    return out + 0.0; // whole numbers have no sign of zero
}

TickSnap ceil_price_by_tick(bool fund_code, double price) {
    const Band &band = band_for(fund_code, price);
    if (!band.integral)
        return {ceil_rounded_6(price * band.factor) / band.factor, band.tick, false, 0.0};
    if (band.tick == 1) {
        double units = ceil_rounded_6(price);
        return {units, 1, true, units};
    }
    double units = ceil_rounded_6(price / 5);
    return {units * 5, 5, true, units};
}

double slippage_price(bool fund_code, double price, std::int64_t tick_count, bool up) {
    for (std::int64_t i = 0; i < tick_count; ++i) {
        TickSnap snap = ceil_price_by_tick(fund_code, price);
        double moved = up ? snap.price + snap.tick : snap.price - snap.tick;
        price = ceil_price_by_tick(fund_code, moved).price;
        if (!std::isfinite(price))
            break; // the caller reports it; further steps cannot bring it back
    }
    return price;
}

} // namespace quarvel::core::ledger
