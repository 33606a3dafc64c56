// Reporting methods of Positions: position queries, exports and the report files.
#include "bindings.hpp"

namespace quarvel::positions {

void register_report_methods(nb::class_<Positions> &) {}

} // namespace quarvel::positions
