// What importing the matcher module binds at its top level, as a Python module would:
// standard modules, the identifier generator, the thread class, the enumerations, the
// console and logger, and the ledger class. A missing name fails the import.
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::matcher {

void bind_module_names(nb::module_ &m) {
    using native::import_names;
    for (const char *mod : {"copy", "json", "queue", "traceback"})
        m.attr(mod) = nb::module_::import_(mod);
    import_names(m, "nanoid", {"generate"});
    import_names(m, "threading", {"Thread"});
    import_names(m, "quarvel.constant",
                 {"Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType",
                  "OCType", "SuccessCode"});
    import_names(m, "quarvel.utils", {"console", "logger"});
    import_names(m, "quarvel.modules.positions.positions", {"Positions"});
}

nb::object module_global(const char *name) {
    return native::module_attr(kModule, name);
}

void print_line(const std::string &text) {
    module_global("console").attr("print")(nb::str(text.c_str(), text.size()));
}

nb::object enum_member(const char *enum_name, const char *member) {
    return module_global(enum_name).attr(member);
}

} // namespace quarvel::matcher
