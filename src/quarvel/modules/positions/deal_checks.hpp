#pragma once
// What a deal brings to the position book, checked before the book changes. GIL held.
#include <nanobind/nanobind.h>

#include "_core/input_rules.hpp"
#include "_native/args.hpp"
#include "_native/records.hpp"
#include "ledger.hpp"
#include "ledger_keys.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

/// Reads the keys set_positions uses (KeyError when one is missing), checks their types, a
/// usable price and quantity, and costs the deal once as an entry: the step whose failures
/// (unknown product type or side, broken fee settings) would otherwise surface half-way.
inline void check_deal(nb::handle self, nb::handle trade, nb::handle product_type) {
    const LedgerKeys &k = ledger_keys();
    nb::object code = native::item(trade, k.code);
    nb::object action = native::item(trade, k.action);
    nb::object price = native::item(trade, k.price);
    nb::object quantity = native::item(trade, k.quantity);
    native::require_str(code, "code");
    core::input_rules::check_deal_price(native::require_real(price, "price"));
    core::input_rules::check_deal_lots(native::require_int64(quantity, "quantity"));
    LegCost cost =
        calculate_trade_cost(self, code, action, price, quantity, product_type, true, false);
    native::as_real(cost.min_qty, "min_qty");
    native::as_real(cost.fee, "fee");
    native::as_real(cost.fixed_cost, "per_trade_cost");
}

} // namespace quarvel::positions
