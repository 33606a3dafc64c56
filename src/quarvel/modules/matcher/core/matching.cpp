#include "matching.hpp"

#include <algorithm>
#include <string>

#include "error.hpp"

namespace quarvel::core::exchange {

TickMatcher::TickMatcher(double close, long long volume)
    : close_(close), remaining_(volume), arrived_with_volume_(volume > 0) {
    if (volume < 0)
        throw Error("成交量不可為負: " + std::to_string(volume));
}

bool TickMatcher::price_matches(const RestingOrder &order) const {
    if (order.kind != PriceKind::Limit)
        return true;
    // A limit order fills at the tick close, never at its own limit; equality matches.
    return order.side == Side::Buy ? close_ <= order.limit_price : close_ >= order.limit_price;
}

OrderDecision TickMatcher::examine(const RestingOrder &order) {
    OrderDecision d;
    if (!arrived_with_volume_) {
        d.stop = true;
        return d;
    }
    // A quantity at or below zero has nothing to fill; a fill is never zero or negative.
    const long long quantity = std::max(order.quantity, 0LL);
    d.price_matches = price_matches(order);
    switch (order.tif) {
    case TimeInForce::Rod:
        // Volume used up by earlier orders leaves a ROD order resting untouched.
        if (!d.price_matches || remaining_ == 0)
            return d;
        d.touched = true;
        d.fill_quantity = std::min(quantity, remaining_);
        d.rest_quantity = quantity - d.fill_quantity;
        d.remove = d.rest_quantity == 0;
        break;
    case TimeInForce::Ioc:
        d.touched = true;
        d.fill_quantity = d.price_matches ? std::min(quantity, remaining_) : 0;
        d.cancel_quantity = quantity - d.fill_quantity;
        d.remove = true;
        break;
    case TimeInForce::Fok:
        d.touched = true;
        if (d.price_matches && remaining_ >= quantity)
            d.fill_quantity = quantity;
        else
            d.cancel_quantity = quantity;
        d.remove = true;
        break;
    case TimeInForce::Other:
        return d;
    }
    remaining_ -= d.fill_quantity;
    return d;
}

} // namespace quarvel::core::exchange
