// QuoteManager: the tick store, trading calendar and K-bar aggregation.
#include "bindings.hpp"

namespace quarvel::positions {

void bind_quote_manager(nb::module_ &) {}

} // namespace quarvel::positions
