// Combining codes and days into one time-ordered table, surviving per-day failures.
#include <string>

#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::ticker {

using namespace native;

namespace {

/// A day that keeps failing (unknown code, broken cache file, broker down) is passed over
/// after this many attempts, so it cannot hold the loop for ever.
constexpr int kAttemptsPerDay = 3;

nb::object process_and_combine_ticks(nb::handle self, nb::handle codes, nb::handle start_from,
                                     nb::handle end_to) {
    require_list(codes, "codes");
    require_str(start_from, "start_from");
    require_str(end_to, "end_to");
    auto entries = checked_code_list(codes);

    nb::object format_to_dt = module_attr(kModule, "format_to_dt");
    nb::object pl = module_attr(kModule, "pl");
    nb::object first_day = format_to_dt(start_from);
    nb::object last_day = format_to_dt(end_to);
    nb::object one_day =
        module_attr(kModule, "datetime").attr("timedelta")(nb::arg("days").none() = 1);
    nb::object auto_fetch = self.attr(QV_PRIVATE(Ticker, auto_fetch_ticks));
    nb::list all_dfs;
    std::size_t codes_with_rows = 0;

    for (auto &[code, market] : entries) {
        const std::size_t frames_before = all_dfs.size();
        nb::object market_map = self.attr("code_market_map");
        int known = PySequence_Contains(market_map.ptr(), code.ptr());
        if (known < 0)
            throw nb::python_error();
        if (!known)
            market_map[code] = market;
        nb::object day = first_day;
        int failures = 0;
        while (day <= last_day) {
            nb::object date = day.attr("strftime")("%Y-%m-%d");
            console_print(kModule, "[yellow]正在取得 " + py_str(code) + " " + py_str(date) +
                                       " 的 Tick 資料...[/yellow]");
            try {
                nb::object tick_df = auto_fetch(code, market, date);
                if (nb::cast<size_t>(tick_df.attr("height")) > 0)
                    all_dfs.append(tick_df);
                day = day + one_day;
                failures = 0;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw; // KeyboardInterrupt and SystemExit are not per-day failures
                nb::dict data;
                data["code"] = code;
                data["date"] = day.attr("timestamp")();
                bool not_logged_in = error_text(e) == kNotLoggedIn;
                log_error_record(kModule, error_text(e), error_traceback(e), data);
                if (not_logged_in || ++failures >= kAttemptsPerDay) {
                    day = day + one_day;
                    failures = 0;
                }
                console_print(kModule, "[red]下載 " + py_str(code) + " " + py_str(date) +
                                           " 的 Tick 資料失敗, 錯誤訊息: " + error_text(e) +
                                           "[/red]");
            }
        }
        if (all_dfs.size() > frames_before)
            ++codes_with_rows;
    }
    if (all_dfs.size() == 0)
        return pl.attr("DataFrame")(nb::arg("schema").none() = tick_schema(true));
    // Stable sort: ticks of one code that share a time keep the broker's order.
    nb::list keys;
    keys.append("ts");
    keys.append("code");
    nb::object combined = pl.attr("concat")(all_dfs, nb::arg("how").none() = "vertical");
    // One code's days already in time order (the usual run): the stable sort would leave
    // every row where it is, so it is skipped.
    if (codes_with_rows == 1 &&
        nb::cast<bool>(combined.attr("get_column")("ts").attr("is_sorted")()))
        return combined;
    return combined.attr("sort")(keys, nb::arg("maintain_order").none() = true);
}

} // namespace

void register_combine_methods(nb::class_<Ticker> &cls) {
    cls.def(QV_PRIVATE(Ticker, process_and_combine_ticks), &process_and_combine_ticks,
            nb::arg("codes").none(), nb::arg("start_from").none(), nb::arg("end_to").none(),
            nb::sig("def _Ticker__process_and_combine_ticks(self, codes: list, start_from: str, "
                    "end_to: str) -> polars.DataFrame"));
    cls.def(
        "get_ticks_df",
        [](nb::handle self, nb::handle code, nb::handle market_type, nb::handle start_from,
           nb::handle end_to) {
            require_str(code, "code");
            require_str(market_type, "market_type");
            require_str(start_from, "start_from");
            require_str(end_to, "end_to");
            require_safe_code(code);
            nb::dict entry;
            entry["code"] = code;
            entry["market"] = market_type;
            nb::list codes;
            codes.append(entry);
            return self.attr(QV_PRIVATE(Ticker, process_and_combine_ticks))(codes, start_from,
                                                                            end_to);
        },
        nb::arg("code").none(), nb::arg("market_type").none(), nb::arg("start_from").none(),
        nb::arg("end_to").none(),
        nb::sig("def get_ticks_df(self, code: str, market_type: str, start_from: str, "
                "end_to: str) -> polars.DataFrame"));
}

} // namespace quarvel::ticker
