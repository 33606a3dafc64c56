#include "_native/errors.hpp"
#include "bindings.hpp"

NB_MODULE(ticker, m) {
    quarvel::native::register_core_errors();
    // Playback threads are daemon threads that may still hold a Ticker when the process
    // exits; that is by design, not a reference leak worth a warning.
    nanobind::set_leak_warnings(false);
    quarvel::ticker::bind_module_names(m);
    quarvel::ticker::bind_handoff_queue(m);
    quarvel::ticker::bind_ticker(m);
    quarvel::ticker::bind_replay_step(m);
}
