// Per-day download from the broker and the CSV file cache of finished days.
#include <string>

#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::ticker {

using namespace native;

namespace {

/// A new dict with the items of `mapping`, as dict(mapping) gives it.
nb::dict dict_copy(nb::handle mapping) {
    nb::dict copy;
    if (PyDict_Merge(copy.ptr(), mapping.ptr(), 1) != 0)
        throw nb::python_error();
    return copy;
}

/// The broker's day as a table of exactly the cache columns and types. Columns the broker
/// got wrong fail the day here, before anything is written.
nb::object conform_day(nb::handle tick_data) {
    nb::object pl = module_attr(kModule, "pl");
    nb::dict schema = tick_schema(false);
    nb::object df = pl.attr("DataFrame")(dict_copy(tick_data));
    nb::list columns = nb::borrow<nb::list>(df.attr("columns"));
    if (!columns.equal(nb::list(schema.keys())))
        raise_value_error("永豐 API 回傳的 Tick 資料欄位不符: " + py_repr(columns));
    if (nb::cast<size_t>(df.attr("height")) == 0)
        return pl.attr("DataFrame")(nb::arg("schema").none() = schema);
    nb::dict actual = dict_copy(df.attr("schema"));
    for (auto [name, dtype] : schema) {
        if (!actual[name].equal(dtype))
            raise_value_error("永豐 API 回傳的 Tick 資料型別不符: " + py_str(name) + " 為 " +
                              py_str(actual[name]));
    }
    return df;
}

/// Writes `df` as CSV to a temporary file beside `path` and renames it into place, so a
/// reader never finds a partly written file under the cache name.
void write_csv_atomically(nb::handle df, nb::handle path) {
    nb::object os = module_attr(kModule, "os");
    nb::object thread_id = module_attr(kModule, "threading").attr("get_ident")();
    std::string temp =
        py_str(path) + "." + py_str(os.attr("getpid")()) + "." + py_str(thread_id) + ".tmp";
    nb::str temp_path(temp.c_str(), temp.size());
    try {
        df.attr("write_csv")(temp_path);
        os.attr("replace")(temp_path, path);
    } catch (...) {
        if (nb::cast<bool>(os.attr("path").attr("exists")(temp_path))) {
            try {
                os.attr("remove")(temp_path);
            } catch (const nb::python_error &) {
            }
        }
        throw;
    }
}

nb::object fetch_sino_history_ticks(nb::handle self, nb::handle code, nb::handle product_type,
                                    nb::handle start_from, nb::handle end_to) {
    require_str(code, "code");
    require_str(start_from, "start_from");
    require_str(end_to, "end_to");
    require_safe_code(code);
    nb::object api = self.attr("api");
    if (!PyObject_IsTrue(api.ptr()))
        raise_value_error(kNotLoggedIn);
    if (PyErr_Occurred())
        throw nb::python_error();

    nb::object datetime = module_attr(kModule, "datetime");
    nb::object format_to_dt = module_attr(kModule, "format_to_dt");
    nb::object pl = module_attr(kModule, "pl");
    nb::object today = datetime.attr("date").attr("today")();
    nb::object current = format_to_dt(start_from).attr("date")();
    nb::object end_date = format_to_dt(end_to).attr("date")();
    nb::object one_day = datetime.attr("timedelta")(nb::arg("days").none() = 1);
    nb::object contract =
        self.attr(QV_PRIVATE(Ticker, make_sino_contract_object))(code, product_type);
    nb::object all_df =
        pl.attr("DataFrame")(nb::arg("schema").none() = self.attr("tick_df_schema"));

    while (current <= end_date) {
        nb::object date = current.attr("strftime")("%Y-%m-%d");
        nb::object tick_data =
            api.attr("ticks")(nb::arg("contract").none() = contract, nb::arg("date").none() = date);
        nb::object df = conform_day(tick_data);
        if (nb::cast<size_t>(df.attr("height")) > 0)
            all_df =
                pl.attr("concat")(nb::make_tuple(all_df, df), nb::arg("how").none() = "vertical");
        // The current day is still trading: never cache it.
        if (current < today) {
            nb::object file_name =
                self.attr(QV_PRIVATE(Ticker, tick_filename_formatter))(code, date);
            nb::object file_path =
                self.attr(QV_PRIVATE(Ticker, generate_save_path))(file_name, "sino", "ticks");
            write_csv_atomically(df, file_path);
            console_print(kModule, "[green]下載 " + py_str(code) + " " + py_str(date) +
                                       " 的 Tick 資料成功, 儲存於 " + py_str(file_path) +
                                       "[/green]");
        }
        current = current + one_day;
    }
    return all_df;
}

nb::object auto_fetch_ticks(nb::handle self, nb::handle code, nb::handle product_type,
                            nb::handle date) {
    require_str(code, "code");
    require_str(product_type, "product_type");
    require_str(date, "date");
    require_safe_code(code);
    nb::object pl = module_attr(kModule, "pl");
    nb::object file_name = self.attr(QV_PRIVATE(Ticker, tick_filename_formatter))(code, date);
    nb::object file_path =
        self.attr(QV_PRIVATE(Ticker, generate_save_path))(file_name, "sino", "ticks");
    nb::object df;
    if (!nb::cast<bool>(module_attr(kModule, "os").attr("path").attr("exists")(file_path))) {
        console_print(kModule, "[red]檔案 " + py_str(file_path) +
                                   " 不存在, 開始下載歷史 Tick 資料...[/red]");
        df = self.attr("fetch_sino_history_ticks")(code, product_type, date, date);
    } else {
        console_print(kModule,
                      "[green]檔案 " + py_str(file_path) + " 已存在, 開始讀取檔案...[/green]");
        df = pl.attr("read_csv")(file_path, nb::arg("schema").none() = self.attr("tick_df_schema"));
        // A cut-off line reads as missing values: the file is not a whole day.
        nb::object nulls = df.attr("null_count")().attr("sum_horizontal")().attr("item")();
        if (!nulls.is_none() && nb::cast<long long>(nulls) != 0)
            raise_value_error("Tick 快取檔案內容不完整: " + py_str(file_path));
    }
    nb::object column =
        pl.attr("lit")(code, nb::arg("dtype").none() = pl.attr("String")).attr("alias")("code");
    return df.attr("with_columns")(column);
}

} // namespace

void register_cache_methods(nb::class_<Ticker> &cls) {
    cls.def("fetch_sino_history_ticks", &fetch_sino_history_ticks, nb::arg("code").none(),
            nb::arg("product_type").none(), nb::arg("start_from").none(), nb::arg("end_to").none(),
            nb::sig("def fetch_sino_history_ticks(self, code: str, product_type: str, "
                    "start_from: str, end_to: str) -> polars.DataFrame"));
    cls.def(QV_PRIVATE(Ticker, auto_fetch_ticks), &auto_fetch_ticks, nb::arg("code").none(),
            nb::arg("product_type").none(), nb::arg("date").none(),
            nb::sig("def _Ticker__auto_fetch_ticks(self, code: str, product_type: str, "
                    "date: str) -> polars.DataFrame"));
}

} // namespace quarvel::ticker
