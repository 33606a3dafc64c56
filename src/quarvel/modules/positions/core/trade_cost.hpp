#pragma once
// Costing of one trade leg: commission and tax on the traded value after slippage.
#include <cstdint>
#include <string_view>

namespace quarvel::core::ledger {

/// Shares in one stock lot: the units of a stock quantity everywhere in the ledger.
inline constexpr std::int64_t kSharesPerLot = 1000;
/// Money per point for a futures code missing from the contract-value table.
inline constexpr std::int64_t kDefaultContractValue = 2000;

/// Which way the configured slippage moves the price; `reverse` flips it, and a
/// direction that is neither "up" nor "down" flips to "down".
bool slips_up(bool configured_up, bool configured_down, bool reverse);

/// rate × quantity × units per quantity × price, multiplied left to right as the ledger
/// always has (rate in 1/currency, quantity in lots or contracts, price in currency).
double leg_charge(double rate, double quantity, double units_per_quantity, double price);

/// What one leg costs on top of its traded value: (fee + tax) + fixed cost (currency).
double leg_cost(double fee, double tax, double fixed_cost);

/// Money an opening leg takes out of capital: (price × units + fee) + fixed cost.
double entry_charge(double price, double units, double fee, double fixed_cost);

} // namespace quarvel::core::ledger
