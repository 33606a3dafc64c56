// The advanced profit report of one code: daily returns of the realised profits against the
// daily closes of "0050", written by quantstats_lumi, plus the code's profit rows as CSV.
#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "reports.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

constexpr const char *kBenchmarkCode = "0050";

/// Exit times as local date-times; a value that is not a usable timestamp becomes missing.
nb::object exit_datetimes(nb::handle table) {
    nb::list values;
    for (nb::handle timestamp : table["exit_dt"].attr("tolist")()) {
        try {
            values.append(local_datetime(timestamp));
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError) &&
                !error.matches(PyExc_OverflowError) && !error.matches(PyExc_OSError))
                throw;
            values.append(nb::none());
        }
    }
    nb::object pd = module_attr(kModule, "pd");
    nb::object series = pd.attr("Series")(values, nb::arg("index") = table.attr("index"),
                                          nb::arg("dtype") = "object");
    return pd.attr("to_datetime")(series, nb::arg("errors") = "coerce");
}

/// Sum of profit per exit day over the initial capital, ascending; a single day gets the
/// next day at 0.0 so the report library has a period to measure.
nb::object daily_returns(nb::handle self, nb::handle table) {
    nb::object by_day =
        table.attr("assign")(nb::arg("date") = table["exit_dt"].attr("dt").attr("normalize")());
    nb::object returns =
        by_day.attr("groupby")("date")["profit"].attr("sum")() / self.attr("initial_capital");
    returns = returns.attr("astype")("float64");
    if (nb::len(returns) == 1) {
        // reindex rather than .loc assignment: a new series, no chained-assignment warning
        nb::object pd = module_attr(kModule, "pd");
        nb::object index = returns.attr("index");
        nb::object next_day = index[0] + pd.attr("Timedelta")(nb::arg("days") = 1);
        nb::list days;
        days.append(next_day);
        nb::object padded = index.attr("append")(pd.attr("DatetimeIndex")(days));
        returns = returns.attr("reindex")(padded, nb::arg("fill_value") = 0.0);
    }
    return returns.attr("sort_index")();
}

/// Simple daily returns of "0050" over the days of `returns`, both ends included.
nb::object benchmark_returns(nb::handle quote_manager, nb::handle returns) {
    nb::object pl = module_attr(kModule, "pl");
    nb::object pd = module_attr(kModule, "pd");
    nb::object kbars =
        quote_manager.attr("get_kbar")(kBenchmarkCode, nb::arg("unit") = "d", nb::arg("freq") = 1);
    nb::object index = returns.attr("index");
    nb::object first = index.attr("min")().attr("to_pydatetime")();
    nb::object last = index.attr("max")().attr("to_pydatetime")();
    nb::object in_span = pl.attr("col")("dt").attr("is_between")(first, last);
    nb::object closes =
        kbars.attr("filter")(in_span).attr("select")("dt", "Close").attr("to_pandas")();
    nb::object prices = pd.attr("Series")(
        closes["Close"].attr("to_numpy")(),
        nb::arg("index") = pd.attr("to_datetime")(closes["dt"]).attr("to_numpy")(),
        nb::arg("name") = "Close");
    return module_attr(kModule, "qs").attr("utils").attr("to_returns")(prices);
}

void generate_qs_profit_report(nb::handle self, nb::handle code, nb::handle quote_manager) {
    require_str(code, "code");
    native::require_safe_code(code);
    nb::list rows = list_copy(self.attr("get_profit_rows_by_code")(code));
    if (nb::len(rows) == 0) {
        console_print(kModule, "[red]尚未有損益報告資料, 無法產生進階績效報告[/red]");
        return;
    }
    const std::string code_text = py_str(code);
    nb::object html_path = save_path(self, nb::str((code_text + "-profit_report.html").c_str()),
                                     {"sino", "profit_report"});
    nb::object csv_path = save_path(self, nb::str((code_text + "-profit_report.csv").c_str()),
                                    {"sino", "profit_report"});

    nb::object table = module_attr(kModule, "pd").attr("DataFrame")(rows);
    // assign() instead of item assignment: pandas reads a C++ caller's reference count as
    // chained assignment and warns
    table = table.attr("assign")(nb::arg("exit_dt") = exit_datetimes(table));
    write_text_atomically(csv_path, table.attr("to_csv")(nb::arg("index") = false), true);

    nb::object returns = daily_returns(self, table);
    nb::object benchmark = benchmark_returns(quote_manager, returns);
    module_attr(kModule, "qs")
        .attr("reports")
        .attr("html")(nb::arg("returns") = returns, nb::arg("benchmark") = benchmark,
                      nb::arg("rf") = 0.04, nb::arg("title") = "進階損益報告",
                      nb::arg("benchmark_title") = kBenchmarkCode, nb::arg("output") = html_path,
                      nb::arg("download_filename") = html_path);
    console_print(kModule,
                  "[bold green]進階損益報告已產生: " + py_str(html_path) + "[/bold green]");
    console_print(kModule,
                  "[bold green]損益報告 CSV 已產生: " + py_str(csv_path) + "[/bold green]");
}

} // namespace

void register_qs_report_methods(nb::class_<Positions> &cls) {
    cls.def("generate_qs_profit_report", &generate_qs_profit_report, nb::arg("code"),
            nb::arg("quote_manager"),
            nb::sig("def generate_qs_profit_report(self, code: str, quote_manager: QuoteManager) "
                    "-> None"));
}

} // namespace quarvel::positions
