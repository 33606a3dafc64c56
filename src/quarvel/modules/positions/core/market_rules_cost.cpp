#include "market_rules_cost.hpp"

#include <algorithm>
#include <cmath>

namespace quarvel::core::ledger {

namespace {

// Taipei keeps UTC+8 all year (no daylight saving since 1979).
constexpr double kTaipeiOffset = 8 * 3600;
constexpr double kDay = 86400;

// Products of a rate and an amount land a hair below a whole number in binary
// (600000 × 0.003 is 1799.9999999999998): a fraction closer than this counts as whole.
constexpr double kWholeSlack = 1e-6;

double whole_units_down(double amount) {
    return std::floor(amount + kWholeSlack) + 0.0;
}

} // namespace

TaxClass tax_class_of(std::string_view code) {
    if (!is_fund_code(code) || code.empty())
        return TaxClass::Stock;
    return code.back() == 'B' ? TaxClass::BondEtf : TaxClass::Etf;
}

double stock_commission(const TaiwanRulesTable &rules, double traded_value) {
    if (traded_value == 0)
        return 0;
    double fee =
        whole_units_down(traded_value * rules.stock_commission_rate * rules.broker_discount);
    return std::max(fee, rules.min_commission);
}

double securities_tax(const TaiwanRulesTable &rules, std::string_view code, double traded_value,
                      bool selling, bool day_trade) {
    if (!selling)
        return 0;
    double rate = rules.stock_tax;
    switch (tax_class_of(code)) {
    case TaxClass::Stock:
        rate = day_trade ? rules.day_trade_tax : rules.stock_tax;
        break;
    case TaxClass::Etf:
        rate = rules.etf_tax;
        break;
    case TaxClass::BondEtf:
        rate = rules.bond_etf_tax;
        break;
    }
    return whole_units_down(traded_value * rate);
}

LegCharges stock_leg(const TaiwanRulesTable &rules, std::string_view code, double price,
                     double shares, bool selling, bool day_trade) {
    double value = price * shares;
    return {stock_commission(rules, value), securities_tax(rules, code, value, selling, day_trade)};
}

LegCharges future_leg(const TaiwanRulesTable &rules, const FutureTerms &terms, double price,
                      double contracts) {
    double value = price * terms.multiplier * contracts;
    double tax = std::floor(value * rules.futures_tax + 0.5) + 0.0;
    return {terms.commission * contracts, tax};
}

bool same_taipei_day(double first, double second) {
    if (!std::isfinite(first) || !std::isfinite(second))
        return false;
    return std::floor((first + kTaipeiOffset) / kDay) ==
           std::floor((second + kTaipeiOffset) / kDay);
}

} // namespace quarvel::core::ledger
