#pragma once
// What the ledger's binding files share: the costing of one leg and the cover engine,
// called directly from C++ so a deal does not pay for Python method dispatch per step.
// GIL held in every function below.
#include <nanobind/nanobind.h>

#include <cstdint>

#include "bindings.hpp"
#include "core/cover_math.hpp"

namespace quarvel::positions {

/// One costed leg: the values of its cost info dict, and the slipped price as a double for
/// the caller's arithmetic.
struct LegCost {
    double price;          ///< the slipped price
    nb::object fee;        ///< rate × quantity × units × slipped price
    nb::object tax;        ///< the integer 0 when tax is ignored
    nb::object fixed_cost; ///< the family's per_trade_cost as stored
    nb::object qty;        ///< the quantity argument
    nb::object min_qty;    ///< shares, or contracts × contract value
    nb::object price_obj;  ///< `price` as a float object
    nb::object origin_price;
};

/// Costs one leg with the fee settings in force now (see `_Positions__calculate_trade_cost`).
LegCost calculate_trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                             nb::handle quantity, nb::handle product_type, bool ignore_tax,
                             bool reverse_direction, bool day_trade = false);

/// The cost info dict {fee, tax, fixed_cost, qty, min_qty, price, origin_price}.
nb::dict cost_info(const LegCost &cost);

/// What covering did: the sums, the quantity left uncovered and the side covered.
struct CoverOutcome {
    core::ledger::CoverTotals totals;
    std::int64_t remaining;
    bool covering_short; ///< the deal is a buy against short entries
};

/// Covers opposite open entries of the deal's code oldest first (see
/// `_Positions__calculate_profit`).
CoverOutcome calculate_profit(nb::handle self, nb::handle cover_position, nb::handle product_type);

/// The nine-key cover result dict.
nb::dict cover_result(const CoverOutcome &outcome);

void register_price_methods(nb::class_<Positions> &cls);
void register_cover_methods(nb::class_<Positions> &cls);
void register_book_methods(nb::class_<Positions> &cls);
void register_rules_methods(nb::class_<Positions> &cls);

} // namespace quarvel::positions
