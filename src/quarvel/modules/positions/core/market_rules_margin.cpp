#include "market_rules_margin.hpp"

namespace quarvel::core::ledger {

double original_margin(double per_contract, double contracts) {
    return per_contract * contracts;
}

double opening_cash(bool margined, double traded_value, double fee, double tax, double fixed_cost) {
    double costs = (fee + tax) + fixed_cost;
    return margined ? costs : traded_value + costs;
}

double margined_cash_back(bool covering_short, double entry_total, double exit_total,
                          double exit_cost_total) {
    double gross = covering_short ? entry_total - exit_total : exit_total - entry_total;
    return gross - exit_cost_total;
}

BuyingPower decide_buying_power(double required, double available) {
    bool accepted = required <= available;
    return {accepted, required, available, accepted ? 0.0 : required - available};
}

} // namespace quarvel::core::ledger
