#include "_native/errors.hpp"
#include "bar_feed.hpp"
#include "bindings.hpp"

NB_MODULE(positions, m) {
    using namespace quarvel::positions;
    quarvel::native::register_core_errors();
    bind_module_names(m);
    bind_rules_table(m);
    bind_positions(m);
    bind_quote_manager(m);
    bind_bar_feed(m);
    bind_replay_entries(m);
}
