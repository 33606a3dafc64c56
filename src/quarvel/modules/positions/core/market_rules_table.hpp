#pragma once
// The values of the Taiwan market rules: one flat table, so every value can be overridden by
// name from Python. Defaults are the published figures; the product layer documents their
// sources and dates.
#include <string_view>

namespace quarvel::core::ledger {

/// The index futures whose tick, multiplier, commission and margin the rules know.
enum class IndexFuture { None, TX, MTX, TMF };

/// TAIEX futures "TXF...", mini "MXF...", micro "TMF..." (plain and R1/R2 continuous codes).
IndexFuture index_future_of(std::string_view code);

/// What one contract of an index future costs and ties up (currency per contract).
struct FutureTerms {
    double multiplier;         ///< currency per index point
    double commission;         ///< broker commission per contract per side
    double original_margin;    ///< reserved when a contract is opened
    double maintenance_margin; ///< the floor below which the broker calls for more
};

struct TaiwanRulesTable {
    double stock_commission_rate = 0.001425; ///< of the traded value, before the discount
    double broker_discount = 1.0;            ///< multiplies the commission rate
    double min_commission = 20;              ///< per leg per fill, in currency
    double stock_tax = 0.003;                ///< securities transaction tax on a stock sell
    double etf_tax = 0.001;                  ///< on an ETF sell ("00" codes)
    double day_trade_tax = 0.0015;           ///< on the sell of a same-day stock round trip
    double bond_etf_tax = 0.0;               ///< on a bond ETF sell ("00" codes ending "B")
    double futures_tax = 0.00002;            ///< of the contract value, per side
    FutureTerms tx{200, 50, 338000, 259000};
    FutureTerms mtx{50, 25, 84500, 64750};
    FutureTerms tmf{10, 12, 16900, 12950};

    /// The terms of an index future, or nullptr for any other code.
    const FutureTerms *terms_of(std::string_view code) const;
};

} // namespace quarvel::core::ledger
