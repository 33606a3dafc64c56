#pragma once
// Account defaults shared by the constructor and the account methods.
#include <nanobind/nanobind.h>

namespace quarvel::positions {
namespace nb = nanobind;

inline constexpr long kInitialCapital = 100000;

/// A fresh fee-settings dict {"stock": {...}, "future": {...}} with the given fixed cost per leg.
nb::dict make_fee_settings(long per_trade_cost);

/// A fresh account info record: eleven integer counters, all 0.
nb::dict make_account_info();

/// What Positions.set_current_tick does with a checked tick and its code.
void store_current_tick(nb::handle self, nb::handle tick, nb::handle code);

} // namespace quarvel::positions
