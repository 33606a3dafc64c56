#include "order_rules.hpp"

#include "input_rules.hpp"

namespace quarvel::core::exchange {

std::optional<ProductType> product_type_of(std::string_view text) {
    if (text == "Stock")
        return ProductType::Stock;
    if (text == "Future")
        return ProductType::Future;
    return std::nullopt;
}

NewOrderCheck check_new_order(long long quantity, std::string_view product_type) {
    if (quantity <= 0)
        return NewOrderCheck::QuantityNotPositive;
    if (quantity > input_rules::kMaxLots)
        return NewOrderCheck::QuantityAboveLimit;
    if (!product_type_of(product_type))
        return NewOrderCheck::UnknownProduct;
    return NewOrderCheck::Accepted;
}

ModifyCheck check_modify(long long cut, double new_price) {
    if (cut == 0 && new_price == 0.0)
        return ModifyCheck::NothingToChange;
    if (cut < 0)
        return ModifyCheck::NegativeCut;
    return ModifyCheck::Accepted;
}

} // namespace quarvel::core::exchange
