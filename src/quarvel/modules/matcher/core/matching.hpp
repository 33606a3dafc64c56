#pragma once
// The time-in-force decision of the simulated exchange for one tick: which resting orders
// fill, by how much, and which are cancelled. Plain values only, no I/O.
#include <cstddef>
#include <vector>

namespace quarvel::core::exchange {

/// Order side; every side that is not a buy is treated as a sell.
enum class Side { Buy, Sell };

/// Limit orders test their price against the tick; every other price type always matches.
enum class PriceKind { Limit, Market };

/// Time in force. `Other` matches no rule: such an order keeps resting untouched.
enum class TimeInForce { Rod, Ioc, Fok, Other };

/// One resting order as matching sees it (price in currency, quantity in lots or contracts).
struct RestingOrder {
    Side side;
    PriceKind kind;
    double limit_price;
    long long quantity;
    TimeInForce tif;
};

/// What one tick does to one order. Quantities in lots or contracts.
struct OrderDecision {
    /// The tick arrived without volume: stop, this order and all later ones are untouched.
    bool stop = false;
    /// False: the order keeps resting exactly as it was.
    bool touched = false;
    bool price_matches = false;
    /// Quantity filled at the tick close; a fill happens only when this is above 0.
    long long fill_quantity = 0;
    /// ROD: the quantity left resting after the fill (stored back into the order).
    long long rest_quantity = 0;
    /// Above 0: the order is cancelled for this quantity (IOC remainder, FOK whole order).
    long long cancel_quantity = 0;
    /// The order leaves the resting list.
    bool remove = false;
};

/// Shares one tick's volume among the orders of its code, examined one at a time in list
/// order. Later orders only see the volume earlier ones left.
class TickMatcher {
  public:
    /// `close` in currency, `volume` in lots or contracts; a negative volume throws Error.
    TickMatcher(double close, long long volume);

    /// Decides for the next order of the tick's code and takes its fill from the volume.
    OrderDecision examine(const RestingOrder &order);

    long long remaining_volume() const { return remaining_; }

  private:
    bool price_matches(const RestingOrder &order) const;

    double close_;
    long long remaining_;
    bool arrived_with_volume_;
};

} // namespace quarvel::core::exchange
