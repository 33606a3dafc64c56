#include "trade_cost.hpp"

namespace quarvel::core::ledger {

bool slips_up(bool configured_up, bool configured_down, bool reverse) {
    return reverse ? configured_down : configured_up;
}

double leg_charge(double rate, double quantity, double units_per_quantity, double price) {
    return rate * quantity * units_per_quantity * price;
}

double leg_cost(double fee, double tax, double fixed_cost) {
    return (fee + tax) + fixed_cost;
}

double entry_charge(double price, double units, double fee, double fixed_cost) {
    return (price * units + fee) + fixed_cost;
}

} // namespace quarvel::core::ledger
