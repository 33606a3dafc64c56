#include "bindings.hpp"
#include "_native/errors.hpp"

NB_MODULE(ticker, m) {
    quarvel::native::register_core_errors();
    quarvel::ticker::bind_module_names(m);
    quarvel::ticker::bind_ticker(m);
}
