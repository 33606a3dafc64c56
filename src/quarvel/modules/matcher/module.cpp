#include "_native/errors.hpp"
#include "bindings.hpp"

namespace nb = nanobind;

NB_MODULE(matcher, m) {
    quarvel::native::register_core_errors();
    // Every Matcher stays referenced by its receiver thread (a daemon that never ends), so
    // instances alive at exit are expected, not leaks.
    nb::set_leak_warnings(false);
    quarvel::matcher::bind_module_names(m);
    quarvel::matcher::bind_matcher(m);
    quarvel::matcher::bind_replay_entries(m);
}
