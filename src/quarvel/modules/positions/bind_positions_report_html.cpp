// The standard backtest report of one code: one-minute K-bars, the entry and exit points of
// every profit row, the profit rows, fee settings and account figures, rendered through the
// package's "profit_report.html" template.
#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "reports.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

constexpr const char *kTimeFormat = "%Y-%m-%d %H:%M:%S";

/// One chart mark of a profit row's entry or exit, at the start of its one-minute bar.
nb::dict trade_point(nb::handle row, const char *type, nb::handle moment, const char *price_key,
                     const char *origin_key) {
    nb::object minute = moment.attr("replace")(nb::arg("second") = 0, nb::arg("microsecond") = 0);
    nb::dict point;
    point["code"] = row["code"];
    point["type"] = type;
    point["dt"] = minute.attr("strftime")(kTimeFormat);
    point["qty"] = row["qty"];
    point["price"] = row[price_key];
    point["origin_price"] = row[origin_key];
    return point;
}

/// The K-bars of `code` at one minute. A code that never received a tick has no K-bars; the
/// quote manager reports that as KeyError(code), and the report is still wanted then.
nb::object minute_kbars(nb::handle quote_manager, nb::handle code) {
    try {
        return quote_manager.attr("get_kbar")(code, nb::arg("unit") = "m", nb::arg("freq") = 1);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_KeyError))
            throw;
        nb::object args = error.value().attr("args");
        if (nb::len(args) != 1 || !nb::object(args[0]).equal(code))
            throw;
        return nb::none();
    }
}

/// JSON text of the K-bars as objects {time, code, open, high, low, close, volume}.
nb::object kbar_json(nb::handle kbars) {
    nb::object json = module_attr(kModule, "json");
    if (kbars.is_none() || nb::cast<size_t>(kbars.attr("height")) == 0)
        return json.attr("dumps")(nb::list());
    nb::object pl = module_attr(kModule, "pl");
    nb::dict names;
    names["dt"] = "time";
    names["Open"] = "open";
    names["High"] = "high";
    names["Low"] = "low";
    names["Close"] = "close";
    names["Volume"] = "volume";
    nb::object as_text = pl.attr("col")("dt").attr("dt").attr("strftime")(kTimeFormat);
    nb::object table = kbars.attr("with_columns")(as_text).attr("rename")(names);
    return json.attr("dumps")(table.attr("to_dicts")());
}

void generate_standard_report(nb::handle self, nb::handle code, nb::handle quote_manager) {
    require_str(code, "code");
    native::require_safe_code(code);
    const std::string code_text = py_str(code);
    console_print(kModule, "[bold green]產生 " + code_text + " 的回測報告...[/bold green]");
    nb::object result_path =
        save_path(self, nb::str((code_text + "-report.html").c_str()), {"report"});
    nb::object kbars = minute_kbars(quote_manager, code);

    nb::object copy = module_attr(kModule, "copy").attr("copy");
    nb::list profit_rows, points;
    for (nb::handle ledger_row : list_copy(self.attr("get_profit_rows_by_code")(code))) {
        // A copy: the ledger keeps its numeric times for the next report.
        nb::object row = copy(ledger_row);
        nb::object entry_time = local_datetime(row["entry_dt"]);
        nb::object exit_time = local_datetime(row["exit_dt"]);
        row["entry_dt"] = entry_time.attr("strftime")(kTimeFormat);
        row["exit_dt"] = exit_time.attr("strftime")(kTimeFormat);
        points.append(trade_point(row, "entry", entry_time, "entry_price", "entry_origin_price"));
        points.append(trade_point(row, "exit", exit_time, "exit_price", "exit_origin_price"));
        profit_rows.append(row);
    }

    nb::object account_infos = self.attr("_account_infos");
    int known = PySequence_Contains(account_infos.ptr(), code.ptr());
    if (known < 0)
        throw nb::python_error();
    // A code that never traded shows a fresh all-zero record, not stored in the ledger.
    nb::object account_info = known ? nb::object(account_infos[code])
                                    : self.attr(QV_PRIVATE(Positions, init_account_info))();

    nb::object qs_path = save_path(self, nb::str((code_text + "-profit_report.html").c_str()),
                                   {"sino", "profit_report"});
    nb::object dumps = module_attr(kModule, "json").attr("dumps");
    nb::dict context;
    context["kbar_df"] = kbar_json(kbars);
    context["profit_rows"] = profit_rows;
    context["profit_rows_json"] = dumps(profit_rows);
    context["include_profit_rows"] = dumps(points);
    context["fee_settings"] = self.attr("_fee_settings");
    // Installed market rules replace the fee and tax rows; the default rules add nothing.
    nb::object rules = nb::getattr(self, "_market_rules", nb::none());
    if (!rules.is_none()) {
        context["market_rules"] = rules.attr("name");
        context["market_rules_values"] = rules.attr("values")();
    }
    context["account_info"] = account_info;
    context["initial_capital"] = self.attr("initial_capital");
    context["current_capital"] = self.attr("current_capital");
    context["qs_report_path"] = qs_path.attr("replace")("\\", "/");

    nb::object html = module_attr(kModule, "template").attr("render")(context);
    write_text_atomically(result_path, html);
    console_print(kModule,
                  "[bold green]回測基本報告已產生: " + py_str(result_path) + "[/bold green]");
}

} // namespace

void register_standard_report_methods(nb::class_<Positions> &cls) {
    cls.def("generate_standard_report", &generate_standard_report, nb::arg("code"),
            nb::arg("quote_manager"),
            nb::sig("def generate_standard_report(self, code: str, quote_manager: QuoteManager) "
                    "-> None"));
}

} // namespace quarvel::positions
