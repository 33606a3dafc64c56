// Ledger methods of Positions: price rules, trade cost, trade records, the position book
// and profit on cover.
#include "bindings.hpp"

namespace quarvel::positions {

void register_ledger_methods(nb::class_<Positions> &) {}

} // namespace quarvel::positions
