// The matcher's interned keys and the module-level names read through them.
#include "_native/pyns.hpp"
#include "fields.hpp"

#include "bindings.hpp"
#include "match_enums.hpp"

namespace quarvel::matcher {

using namespace native;

Fields::Fields(nb::handle module)
    : MatcherKeys(interned<MatcherKeys>()), module_(nb::borrow(module)) {}

nb::object Fields::global(nb::handle attribute) const {
    return attr_of(module_, attribute);
}

nb::object Fields::member(nb::handle enum_name, nb::handle member_name) const {
    return attr_of(global(enum_name), member_name);
}

void MatchEnums::refresh(const Fields &f) {
    nb::object action = f.global(f.Action);
    nb::object price_type = f.global(f.PriceType);
    nb::object order_type = f.global(f.OrderType);
    if (action.is(action_) && price_type.is(price_type_) && order_type.is(order_type_))
        return;
    buy_value_ = attr_of(attr_of(action, f.BUY), f.value);
    lmt_ = attr_of(price_type, f.LMT);
    rod_ = attr_of(order_type, f.ROD);
    ioc_ = attr_of(order_type, f.IOC);
    fok_ = attr_of(order_type, f.FOK);
    action_ = action;
    price_type_ = price_type;
    order_type_ = order_type;
}

} // namespace quarvel::matcher
