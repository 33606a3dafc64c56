#pragma once
// Entry points of the matcher module's binding files, and the few helpers they share.
// GIL held in every function declared here.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "_native/attr_memo.hpp"
#include "_native/replay_entries.hpp"
#include "fields.hpp"
#include "match_enums.hpp"
#include "parking.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

/// Name under which this extension module is imported (module-level names live there).
inline constexpr const char *kModule = "quarvel.modules.matcher.matcher";

/// Native part of Matcher: only the lock that makes each operation indivisible between the
/// driver's thread and the receiver thread. All state lives in the instance __dict__.
struct Matcher {
    nb::object lock;                          // a threading.RLock
    Fields fields;                            // interned names used on every tick
    std::shared_ptr<ReceiverParking> parking; // stops the receiver before the process exits
    MatchEnums enums; // enumeration members for matching; used under `lock` only
    // Counts the matcher's own additions to and removals from `pending_orders` (made under
    // `lock`, read with the GIL held), so matching can tell whether a scan made before it
    // took the lock is still current. Not a copy of the list: the list is always read live.
    std::uint64_t list_changes = 0;
    // Attributes read on every tick: current_tick_infos, positions, pending_orders.
    native::AttrMemo tick_infos, ledger, pending;
};

/// The native part of a Matcher instance (TypeError for any other object).
Matcher &matcher_state(nb::handle self);

/// Records that the matcher added an order to or removed one from `pending_orders`.
void note_list_change(nb::handle self);

/// The count of such changes so far.
std::uint64_t list_changes(nb::handle self);

/// The matching vocabulary of a Matcher instance (call with its lock held).
MatchEnums &enums_of(nb::handle self);

/// The receiver's parking state of a Matcher instance.
std::shared_ptr<ReceiverParking> parking_of(nb::handle self);

void bind_module_names(nb::module_ &m);
void bind_matcher(nb::module_ &m);
/// Publishes Matcher's per-tick entries for the replay step (see _native/replay_entries.hpp).
void bind_replay_entries(nb::module_ &m);
int set_current_tick_entry(PyObject *self, const native::ReplayTick &tick,
                           const native::LedgerReplayEntries *ledger);
int match_deal_entry(PyObject *self, const native::ReplayTick &tick);

// Method groups of Matcher, one binding file each.
void register_report_methods(nb::class_<Matcher> &cls);
void register_order_methods(nb::class_<Matcher> &cls);
void register_matching_methods(nb::class_<Matcher> &cls);
void register_receiver_methods(nb::class_<Matcher> &cls);

/// The RLock of a Matcher instance (TypeError for any other object).
nb::handle matcher_lock(nb::handle self);

/// A module-level name of this module (console, logger, the enumerations...), read now.
nb::object module_global(const char *name);

/// console.print(text) through this module's `console`.
void print_line(const std::string &text);

/// A member of one of the module's enumerations, e.g. enum_member("OperationType", "NEW").
nb::object enum_member(const char *enum_name, const char *member);

/// Puts `response` at the tail of the live `response_queue`.
void queue_response(nb::handle self, nb::handle response);

/// The order report of an order record (dispatch on its product type).
nb::object make_order_report(nb::handle self, nb::handle trade, nb::handle operation_type,
                             nb::handle code_obj);

/// Queues a rejection report and returns true when the account cannot pay for the order
/// (its `check_buying_power` names a shortfall); the order must then not rest.
bool refuse_beyond_buying_power(nb::handle self, nb::handle record);

/// The deal report of a deal record (dispatch on its product type).
nb::object make_deal_report(nb::handle self, nb::handle trade);

} // namespace quarvel::matcher
