// The Matcher class.
#include "bindings.hpp"

namespace quarvel::matcher {

void bind_module_names(nb::module_ &) {}
void bind_matcher(nb::module_ &) {}

} // namespace quarvel::matcher
