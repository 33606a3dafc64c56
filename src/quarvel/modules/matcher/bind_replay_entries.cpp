// The per-tick entries this module offers the replay step: Matcher.set_current_tick and
// Matcher.match_deal, run without the method call when they are the class's own.
#include "bindings.hpp"

namespace quarvel::matcher {

namespace {

native::ExchangeReplayEntries entries{};

int set_current_tick(PyObject *self, const native::ReplayTick &tick) {
    return set_current_tick_entry(self, tick, entries.ledger);
}

} // namespace

void bind_replay_entries(nb::module_ &m) {
    nb::handle cls = m.attr("Matcher");
    entries = {native::kReplayEntriesVersion,
               {native::intern_forever("set_current_tick").ptr(),
                native::own_attribute(cls, "set_current_tick"), set_current_tick},
               {native::intern_forever("match_deal").ptr(),
                native::own_attribute(cls, "match_deal"), match_deal_entry},
               // The ledger module is imported by this one's own import (Positions).
               native::find_entries<native::LedgerReplayEntries>(native::kLedgerEntriesCapsule)};
    native::publish_entries(m, &entries, native::kExchangeEntriesCapsule);
}

} // namespace quarvel::matcher
