#include "market_rules_ticks.hpp"

namespace quarvel::core::ledger {

TickGrid tick_grid_of(std::string_view code, bool index_future) {
    if (index_future)
        return TickGrid::IndexPoint;
    return is_fund_code(code) ? TickGrid::Fund : TickGrid::Stock;
}

TickSnap ceil_price_on(TickGrid grid, double price) {
    if (grid != TickGrid::IndexPoint)
        return ceil_price_by_tick(grid == TickGrid::Fund, price);
    double points = ceil_rounded_6(price);
    return {points, 1, true, points};
}

double slippage_on(TickGrid grid, double price, std::int64_t tick_count, bool up) {
    if (grid != TickGrid::IndexPoint)
        return slippage_price(grid == TickGrid::Fund, price, tick_count, up);
    if (tick_count <= 0)
        return price;
    // Every step moves one whole point from a whole point: one snap, then the count.
    double moved = static_cast<double>(tick_count);
    return ceil_rounded_6(price) + (up ? moved : -moved);
}

} // namespace quarvel::core::ledger
