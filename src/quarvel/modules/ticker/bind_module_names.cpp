// What importing the ticker module sets up, as a Python module would at its top level.
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::ticker {

void bind_module_names(nb::module_ &m) {
    using native::import_names;
    for (const char *mod : {"datetime", "json", "os", "queue", "threading", "time", "traceback"})
        m.attr(mod) = nb::module_::import_(mod);
    m.attr("pl") = nb::module_::import_("polars");
    import_names(m, "quarvel.constant", {"BASIC_INFO", "FLAG"});
    import_names(m, "quarvel.utils",
                 {"console", "format_to_dt", "format_nano_ts_to_second_ts", "logger", "make_dir"});
}

} // namespace quarvel::ticker
