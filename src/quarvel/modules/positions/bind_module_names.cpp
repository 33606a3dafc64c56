// What importing the positions module sets up, as a Python module would at its top level:
// imported names, warning filters, the chart backend, the report library's pandas
// extensions and the report template environment.
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::positions {

namespace {

/// The `tojson` template filter: str(value) with single quotes swapped for double quotes.
nb::str tojson_filter(nb::handle value) {
    return nb::borrow<nb::str>(nb::str(value).attr("replace")("'", "\""));
}

} // namespace

void bind_module_names(nb::module_ &m) {
    using native::import_names;
    for (const char *mod : {"copy", "json", "math", "os", "queue", "warnings", "datetime"})
        m.attr(mod) = nb::module_::import_(mod);
    import_names(m, "quarvel.constant",
                 {"Action", "BASIC_INFO", "FutureIndexContractValue", "OrderCond"});
    import_names(m, "quarvel.utils", {"console", "make_dir"});
    m.attr("pl") = nb::module_::import_("polars");
    m.attr("pd") = nb::module_::import_("pandas");

    nb::object builtins = nb::module_::import_("builtins");
    nb::object warnings = m.attr("warnings");
    warnings.attr("simplefilter")("ignore", nb::arg("category") = builtins.attr("FutureWarning"));
    warnings.attr("simplefilter")("ignore", nb::arg("category") = builtins.attr("RuntimeWarning"));

    nb::module_ matplotlib = nb::module_::import_("matplotlib");
    matplotlib.attr("use")("Agg");
    m.attr("matplotlib") = matplotlib;
    nb::module_ qs = nb::module_::import_("quantstats_lumi");
    qs.attr("extend_pandas")();
    m.attr("qs") = qs;

    // The package folder of this module holds the module file itself.
    nb::object os_path = m.attr("os").attr("path");
    nb::object package = nb::module_::import_("quarvel.modules.positions");
    nb::object base_dir = os_path.attr("abspath")(nb::list(package.attr("__path__"))[0]);
    nb::object static_dir = os_path.attr("join")(base_dir, "../../static");
    m.attr("base_dir") = base_dir;
    m.attr("static_dir") = static_dir;

    nb::module_ jinja2 = nb::module_::import_("jinja2");
    nb::object loader =
        jinja2.attr("FileSystemLoader")(os_path.attr("join")(static_dir, "templates"));
    nb::object env = jinja2.attr("Environment")(nb::arg("loader") = loader);
    env.attr("filters")["tojson"] = nb::cpp_function(&tojson_filter, nb::arg("value"));
    m.attr("env") = env;
    m.attr("template") = env.attr("get_template")("profit_report.html");
}

} // namespace quarvel::positions
