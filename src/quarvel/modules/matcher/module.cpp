#include "bindings.hpp"
#include "_native/errors.hpp"

NB_MODULE(matcher, m) {
    quarvel::native::register_core_errors();
    quarvel::matcher::bind_module_names(m);
    quarvel::matcher::bind_matcher(m);
}
