#pragma once
// Profit of covering open positions first-in first-out, one matched chunk at a time.
#include <cstdint>

namespace quarvel::core::ledger {

/// The two legs of one matched chunk (all in currency).
struct ChunkLegs {
    double entry_amount; ///< re-costed entry price × units
    double exit_amount;  ///< covering price × units
    double entry_cost;   ///< (fee + tax) + fixed cost of the entry leg
    double exit_cost;    ///< (fee + tax) + fixed cost of the covering leg
};

struct ChunkProfit {
    double profit;
    double ratio;       ///< profit over the capital the entry tied up
    bool ratio_is_zero; ///< the divisor was 0: the ratio is reported as the integer 0
};

/// Quantity matched against the oldest open entry: min(remaining, open), first on ties.
std::int64_t chunk_quantity(std::int64_t remaining, std::int64_t open_quantity);

/// A buy covers a short (gain when the price fell); a sell covers a long.
ChunkProfit chunk_profit(bool covering_short, const ChunkLegs &legs);

/// Running sums of one covering deal, added in the ledger's order.
struct CoverTotals {
    double entry_total = 0;
    double exit_total = 0;
    double entry_cost_total = 0;
    double exit_cost_total = 0;
    double cost = 0;
    double profit = 0;
    std::int64_t chunks = 0; ///< no chunk matched: every sum is still the integer 0

    void add(const ChunkLegs &legs, const ChunkProfit &chunk);
};

/// What a cover pays back into capital: a short's entry value with its gain less the
/// covering cost, or a long's exit value less the covering cost.
double capital_back_on_cover(bool covering_short, const CoverTotals &totals);

} // namespace quarvel::core::ledger
