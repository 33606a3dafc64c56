// The Ticker class.
#include "bindings.hpp"

namespace quarvel::ticker {

void bind_module_names(nb::module_ &) {}
void bind_ticker(nb::module_ &) {}

} // namespace quarvel::ticker
