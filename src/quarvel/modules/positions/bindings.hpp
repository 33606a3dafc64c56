#pragma once
// Entry points of the positions module's binding files; module.cpp only calls these.
#include <nanobind/nanobind.h>

#include "_native/attr_memo.hpp"

namespace quarvel::positions {
namespace nb = nanobind;

/// Name under which this extension module is imported (module-level names live there).
inline constexpr const char *kModule = "quarvel.modules.positions.positions";

/// The native part of Positions: the account lives in the instance __dict__; only the
/// attribute its per-tick call reads is kept here.
struct Positions {
    native::AttrMemo tick_infos; // current_tick_infos
};

void bind_module_names(nb::module_ &m);
void bind_positions(nb::module_ &m);
void bind_rules_table(nb::module_ &m);
void bind_quote_manager(nb::module_ &m);
/// Publishes the per-tick entries of QuoteManager and Positions for the replay step.
void bind_replay_entries(nb::module_ &m);

// Method groups of Positions, one binding file each.
void register_account_methods(nb::class_<Positions> &cls);
void register_ledger_methods(nb::class_<Positions> &cls);
void register_report_methods(nb::class_<Positions> &cls);

} // namespace quarvel::positions
