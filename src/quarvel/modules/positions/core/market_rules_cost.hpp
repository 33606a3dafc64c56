#pragma once
// What one trade leg costs under the Taiwan rules: broker commission and transaction tax,
// in whole currency units as statements show them.
#include <string_view>

#include "market_rules_table.hpp"
#include "price_rules.hpp"

namespace quarvel::core::ledger {

/// Commission and tax of one leg (currency).
struct LegCharges {
    double fee;
    double tax;
};

/// Which securities transaction tax rate a stock or fund code pays on a sell.
enum class TaxClass { Stock, Etf, BondEtf };
TaxClass tax_class_of(std::string_view code);

/// Broker commission: the traded value × rate × discount, fractions dropped, at least the
/// minimum per leg. A leg that trades nothing costs nothing.
double stock_commission(const TaiwanRulesTable &rules, double traded_value);

/// Securities transaction tax, on sells only, fractions dropped. `day_trade` is the sell of a
/// same-day round trip; only plain stocks pay the lower day-trade rate.
double securities_tax(const TaiwanRulesTable &rules, std::string_view code, double traded_value,
                      bool selling, bool day_trade);

/// A stock or fund leg of `shares` at `price`.
LegCharges stock_leg(const TaiwanRulesTable &rules, std::string_view code, double price,
                     double shares, bool selling, bool day_trade);

/// An index-futures leg of `contracts` at `price` (points): a fixed commission per contract,
/// and the futures transaction tax on the contract value, rounded to the currency unit
/// (half up), on both sides.
LegCharges future_leg(const TaiwanRulesTable &rules, const FutureTerms &terms, double price,
                      double contracts);

/// Whether two exchange times (seconds since the epoch) fall on the same Taipei calendar day.
bool same_taipei_day(double first, double second);

} // namespace quarvel::core::ledger
