#pragma once
// What the ledger's binding files share: the costing of one leg and the cover engine,
// called directly from C++ so a deal does not pay for Python method dispatch per step.
// GIL held in every function below.
#include <nanobind/nanobind.h>

#include "bindings.hpp"
#include "core/cover_math.hpp"

namespace quarvel::positions {

/// The cost info dict of one leg, with the numbers the caller does arithmetic on.
struct LegCost {
    nb::dict info;  ///< fee, tax, fixed_cost, qty, min_qty, price, origin_price
    double price;   ///< the slipped price
    nb::object fee; ///< as in `info`
    nb::object tax; ///< the integer 0 when tax is ignored
    nb::object fixed_cost;
    nb::object min_qty; ///< shares, or contracts × contract value
};

/// Costs one leg with the fee settings in force now (see `_Positions__calculate_trade_cost`).
LegCost calculate_trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                             nb::handle quantity, nb::handle product_type, bool ignore_tax,
                             bool reverse_direction);

/// The cover result dict and the sums it was made from.
struct CoverOutcome {
    nb::dict result;
    core::CoverTotals totals;
    bool covering_short; ///< the deal is a buy against short entries
};

/// Covers opposite open entries of the deal's code oldest first (see
/// `_Positions__calculate_profit`).
CoverOutcome calculate_profit(nb::handle self, nb::handle cover_position, nb::handle product_type);

void register_price_methods(nb::class_<Positions> &cls);
void register_cover_methods(nb::class_<Positions> &cls);
void register_book_methods(nb::class_<Positions> &cls);

} // namespace quarvel::positions
