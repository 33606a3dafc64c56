#pragma once
// The simulated exchange's rules for placing and changing an order. Each check answers
// with a decision; the binding turns a refusal into the message the user sees.
#include <optional>
#include <string_view>

namespace quarvel::core::exchange {

enum class ProductType { Stock, Future };

/// "Stock" or "Future"; any other text is not a product the exchange trades.
std::optional<ProductType> product_type_of(std::string_view text);

enum class NewOrderCheck {
    Accepted,
    QuantityNotPositive, ///< 0 or less would fill nothing or give volume back to later orders
    QuantityAboveLimit,  ///< more than kMaxLots: its deals would overflow the books
    UnknownProduct,
};

/// A new order, checked in this order: quantity, then product type.
NewOrderCheck check_new_order(long long quantity, std::string_view product_type);

enum class ModifyCheck {
    Accepted,
    NothingToChange, ///< neither a cut nor a new price
    NegativeCut,     ///< would silently raise the resting quantity
};

/// A modification before the order is looked up: `cut` 0 and `new_price` 0 mean "not given".
ModifyCheck check_modify(long long cut, double new_price);

/// Whether `cut` may be taken from an order resting with `resting` (never more than rests).
inline bool cut_fits(long long cut, long long resting) {
    return cut <= resting;
}

/// Whether `price` may replace an order's price: above 0 (NaN is refused: it could never
/// fill).
inline bool new_price_valid(double price) {
    return price > 0.0;
}

} // namespace quarvel::core::exchange
