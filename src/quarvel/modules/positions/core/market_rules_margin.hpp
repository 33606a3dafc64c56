#pragma once
// Margin and buying power under the Taiwan rules: futures reserve the original margin per
// contract; an order that needs more than is available is refused.

namespace quarvel::core::ledger {

/// Original margin of `contracts` contracts (currency).
double original_margin(double per_contract, double contracts);

/// Money an opening leg takes out of cash: a futures leg pays only its costs (the margin is
/// reserved, not spent); a stock leg pays its traded value as well.
double opening_cash(bool margined, double traded_value, double fee, double tax, double fixed_cost);

/// What a cover brings back into cash. Margined legs bring their profit or loss less the
/// covering cost; stock legs as the ledger always has (see capital_back_on_cover).
double margined_cash_back(bool covering_short, double entry_total, double exit_total,
                          double exit_cost_total);

/// Whether an order fits the buying power, and by how much it misses.
struct BuyingPower {
    bool accepted;
    double required;  ///< cash or margin the order needs
    double available; ///< cash less the margin already reserved
    double shortfall; ///< required − available when refused, else 0
};

BuyingPower decide_buying_power(double required, double available);

} // namespace quarvel::core::ledger
