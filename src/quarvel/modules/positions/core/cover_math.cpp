#include "cover_math.hpp"

namespace quarvel::core::ledger {

std::int64_t chunk_quantity(std::int64_t remaining, std::int64_t open_quantity) {
    return open_quantity < remaining ? open_quantity : remaining;
}

ChunkProfit chunk_profit(bool covering_short, const ChunkLegs &legs) {
    double both_costs = legs.entry_cost + legs.exit_cost;
    double profit, divisor;
    if (covering_short) {
        profit = (legs.entry_amount - legs.exit_amount) - both_costs;
        divisor = legs.entry_amount - legs.entry_cost;
    } else {
        profit = (legs.exit_amount - legs.entry_amount) - both_costs;
        divisor = legs.entry_amount + legs.entry_cost;
    }
    if (divisor == 0)
        return {profit, 0.0, true};
    return {profit, profit / divisor, false};
}

void CoverTotals::add(const ChunkLegs &legs, const ChunkProfit &chunk) {
    entry_cost_total += legs.entry_cost;
    exit_cost_total += legs.exit_cost;
    entry_total += legs.entry_amount;
    exit_total += legs.exit_amount;
    profit += chunk.profit;
    cost += legs.entry_cost + legs.exit_cost;
    ++chunks;
}

double capital_back_on_cover(bool covering_short, const CoverTotals &totals) {
    if (covering_short)
        return totals.entry_total +
               ((totals.entry_total - totals.exit_total) - totals.exit_cost_total);
    return totals.exit_total - totals.exit_cost_total;
}

} // namespace quarvel::core::ledger
