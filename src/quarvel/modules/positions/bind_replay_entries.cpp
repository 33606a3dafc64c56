// The per-tick entries this module offers the replay step: QuoteManager.add_tick,
// Positions.set_current_tick and BarFeed.poll, run without the method call when they are
// the classes' own.
#include "account.hpp"
#include "bar_feed.hpp"
#include "bindings.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

namespace {

int set_current_tick_entry(PyObject *self, const native::ReplayTick &tick) {
    return native::run_entry([&] { store_current_tick(self, tick.dict, tick.code); });
}

} // namespace

void bind_replay_entries(nb::module_ &m) {
    static native::LedgerReplayEntries entries{
        native::kReplayEntriesVersion,
        {native::intern_forever("add_tick").ptr(),
         native::own_attribute(m.attr("QuoteManager"), "add_tick"), add_tick_entry},
        {native::intern_forever("set_current_tick").ptr(),
         native::own_attribute(m.attr("Positions"), "set_current_tick"), set_current_tick_entry},
        {native::intern_forever("poll").ptr(), native::own_attribute(m.attr("BarFeed"), "poll"),
         poll_entry},
    };
    native::publish_entries(m, &entries, native::kLedgerEntriesCapsule);
}

} // namespace quarvel::positions
