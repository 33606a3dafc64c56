#pragma once
// Tick size per product under the Taiwan rules: index futures move in whole index points,
// stocks and funds keep the exchange's grid of price_rules.
#include <cstdint>
#include <string_view>

#include "price_rules.hpp"

namespace quarvel::core::ledger {

enum class TickGrid { Stock, Fund, IndexPoint };

/// The grid a code trades on; `index_future` says whether the code is a known index future.
TickGrid tick_grid_of(std::string_view code, bool index_future);

/// Snaps `price` up onto the grid (see ceil_price_by_tick; index points snap to whole points).
TickSnap ceil_price_on(TickGrid grid, double price);

/// Moves `price` by `tick_count` ticks on the grid, snapping first; zero or negative counts
/// return the price unsnapped.
double slippage_on(TickGrid grid, double price, std::int64_t tick_count, bool up);

} // namespace quarvel::core::ledger
