#pragma once
// The exchange's tick-size grid and slippage by whole ticks. Pure arithmetic on doubles.
#include <cstdint>
#include <string_view>

namespace quarvel::core::ledger {

/// A price snapped up onto the tick grid.
struct TickSnap {
    double price;  ///< the snapped price (currency)
    double tick;   ///< the tick size of the band the input fell in (currency)
    bool integral; ///< true in the bands whose tick is a whole number (1 and 5)
    double units;  ///< integral bands only: the snapped price in ticks of 1 or 5
};

/// Fund codes ("00..." exchange-traded funds) use their own finer bands below 1000.
bool is_fund_code(std::string_view code);

/// Python's round(x, 6): the double nearest to x rounded half-even at six decimals, where
/// halfway is judged on the exact binary value of x.
double round_to_6_decimals(double x);

/// ceil(round(x, 6)) without a decimal round trip when x is clearly away from a whole
/// number; falls back to round_to_6_decimals when it is not. Never returns -0.0.
double ceil_rounded_6(double x);

/// Snaps `price` (currency) up to the grid: ceil(round(price * factor, 6)) / factor in the
/// float bands, ceil(round(price / 5, 6)) * 5 above 1000. The rounding keeps an on-grid
/// price where it is (1.1 * 100 is 110.00000000000001 in binary). A non-finite input
/// gives a non-finite price; callers decide how to report it.
TickSnap ceil_price_by_tick(bool fund_code, double price);

/// Moves `price` by `tick_count` ticks (up when `up`, otherwise down), snapping before
/// every step; zero or negative counts return the price unsnapped.
double slippage_price(bool fund_code, double price, std::int64_t tick_count, bool up);

} // namespace quarvel::core::ledger
