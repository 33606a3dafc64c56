#pragma once
// The market rules an account may install (Positions.apply_rules). Without any, every
// function below leaves the ledger on its default costing. GIL held throughout.
#include <nanobind/nanobind.h>

#include "bindings.hpp"
#include "core/market_rules_cost.hpp"
#include "core/market_rules_table.hpp"

namespace quarvel::positions {

/// The Taiwan rules installed on this account, or nullptr (the default rules).
const core::ledger::TaiwanRulesTable *installed_rules(nb::handle self);

/// The index-future terms of a futures leg under `rules`, or nullptr (stocks, other futures,
/// no rules): such a leg is margined rather than paid for in full.
const core::ledger::FutureTerms *margined_terms(const core::ledger::TaiwanRulesTable *rules,
                                                nb::handle code, bool future);

/// Commission and tax of one leg of `quantity` lots or contracts at `price` under `rules`.
core::ledger::LegCharges ruled_charges(const core::ledger::TaiwanRulesTable &rules,
                                       const core::ledger::FutureTerms *terms, nb::handle code,
                                       double price, double quantity, bool selling, bool day_trade);

/// Whether covering `entry` with `deal` sells a same-day stock round trip.
bool day_trade_sell(const core::ledger::TaiwanRulesTable *rules, nb::handle entry, nb::handle deal,
                    bool future);

/// {"cash", "unrealised", "equity", "margin_used", "maintenance_margin", "available",
/// "margin_call"} of the account's margined futures positions.
nb::dict margin_report(nb::handle self, const core::ledger::TaiwanRulesTable &rules);

/// Original margin tied up by the open positions of `code` (0 when not margined).
double code_margin_used(nb::handle self, const core::ledger::TaiwanRulesTable &rules,
                        nb::handle code);

void register_rules_methods(nb::class_<Positions> &cls);
void bind_rules_table(nb::module_ &m);

} // namespace quarvel::positions
