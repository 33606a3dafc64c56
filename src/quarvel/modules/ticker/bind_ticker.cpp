// The Ticker class: constructor, file-path helpers and the checks every entry point shares.
// State lives in the instance __dict__, created by the constructor in the documented order.
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

Ticker::Ticker()
    : session(std::make_shared<Session>(false)),
      emit_lock(module_attr(kModule, "threading").attr("RLock")()) {}

Ticker &native_ticker(nb::handle self) {
    return nb::cast<Ticker &>(self);
}

std::vector<std::pair<nb::object, nb::object>> checked_code_list(nb::handle codes) {
    std::vector<std::pair<nb::object, nb::object>> out;
    for (nb::handle entry : nb::borrow<nb::list>(codes)) {
        nb::object code = entry["code"];
        nb::object market = entry["market"];
        require_safe_code(code);
        require_str(market, "market");
        out.emplace_back(code, market);
    }
    return out;
}

nb::dict tick_schema(bool with_code) {
    nb::object pl = module_attr(kModule, "pl");
    nb::dict schema;
    schema["ts"] = pl.attr("Int64");
    schema["close"] = pl.attr("Float64");
    schema["volume"] = pl.attr("Int64");
    schema["bid_price"] = pl.attr("Float64");
    schema["bid_volume"] = pl.attr("Int64");
    schema["ask_price"] = pl.attr("Float64");
    schema["ask_volume"] = pl.attr("Int64");
    schema["tick_type"] = pl.attr("Int64");
    if (with_code)
        schema["code"] = pl.attr("String");
    return schema;
}

void report_error(const std::string &red_prefix, const nb::python_error &error, nb::handle data) {
    std::string text = error_text(error);
    log_error_record(kModule, text, error_traceback(error), data);
    console_print(kModule, "[red]" + red_prefix + text + "[/red]");
}

namespace {

nb::str generate_save_path(nb::handle self, nb::handle file_name, nb::args sub_folders) {
    (void)self;
    require_str(file_name, "file_name", true);
    nb::object os_path = module_attr(kModule, "os").attr("path");
    nb::list parts;
    parts.append(module_attr(kModule, "BASIC_INFO").attr("data_dir"));
    for (nb::handle folder : sub_folders)
        parts.append(folder);
    nb::object folder = os_path.attr("join")(*parts);
    module_attr(kModule, "make_dir")(folder);
    if (file_name.is_none())
        return nb::borrow<nb::str>(folder);
    return nb::borrow<nb::str>(os_path.attr("join")(folder, file_name));
}

/// The broker's contract tables. A session that is not logged in raises its own
/// authentication error here (or has no tables at all): that is the not-logged-in error,
/// which the combining step passes over without retrying.
nb::object broker_contracts(nb::handle api) {
    try {
        return api.attr("Contracts");
    } catch (nb::python_error &e) {
        std::string name = utf8(e.type().attr("__name__").attr("lower")());
        bool auth = e.matches(PyExc_AttributeError);
        for (const char *word : {"auth", "token", "login"})
            auth = auth || name.find(word) != std::string::npos;
        if (!auth)
            throw;
        raise_value_error(kNotLoggedIn);
    }
}

void init_ticker(nb::handle self, nb::handle sino_api) {
    // HandoffQueue: queue.Queue's methods, but the playback hands rows over without the GIL.
    nb::object queue_cls = module_attr(kModule, "HandoffQueue");
    self.attr("api") = sino_api;
    self.attr("allow_next_tick_flag_queue") = queue_cls();
    self.attr("allow_next_tick_flag_queue").attr("put")(true);
    self.attr("backfilling_notify_finish_queue") = queue_cls();
    self.attr("backfilling_finish_flag") = false;
    self.attr("exit_send_thread_flag") = false;
    self.attr("tick_file_save_path") = self.attr(QV_PRIVATE(Ticker, generate_save_path))("ticks");
    self.attr("tick_queue") = queue_cls();
    self.attr("code_market_map") = nb::dict();
    self.attr("tick_df_schema") = tick_schema(false);
    self.attr("current_send_ticks_params") = nb::dict();
}

} // namespace

void bind_ticker(nb::module_ &m) {
    nb::class_<Ticker> cls(m, "Ticker", nb::dynamic_attr());
    cls.def(
        "__init__",
        [](Ticker *t, nb::handle sino_api) {
            new (t) Ticker();
            init_ticker(nb::find(t), sino_api);
        },
        nb::arg("sino_api").none(), nb::sig("def __init__(self, sino_api: object) -> None"));

    cls.def(QV_PRIVATE(Ticker, generate_save_path), &generate_save_path,
            nb::arg("file_name").none() = nb::none(), nb::arg("sub_folder").none(),
            nb::sig("def _Ticker__generate_save_path(self, file_name: str | None = None, "
                    "*sub_folder: str) -> str"));
    cls.def(
        QV_PRIVATE(Ticker, tick_filename_formatter),
        [](nb::handle, nb::handle code, nb::handle date) {
            require_str(code, "code");
            require_str(date, "date");
            require_safe_code(code);
            return nb::str((utf8(code) + " " + utf8(date) + " - ticks.csv").c_str());
        },
        nb::arg("code").none(), nb::arg("date").none(),
        nb::sig("def _Ticker__tick_filename_formatter(self, code: str, date: str) -> str"));
    cls.def(
        QV_PRIVATE(Ticker, make_sino_contract_object),
        [](nb::handle self, nb::handle code, nb::handle market_type) {
            require_str(code, "code");
            require_str(market_type, "market_type");
            nb::object contracts = broker_contracts(self.attr("api"));
            bool stock = utf8(market_type) == "Stock";
            nb::object contract = contracts.attr(stock ? "Stocks" : "Futures")[code];
            // Never ask for the ticks of no contract.
            if (contract.is_none())
                raise_key_error(code);
            return contract;
        },
        nb::arg("code").none(), nb::arg("market_type").none(),
        nb::sig("def _Ticker__make_sino_contract_object(self, code: str, market_type: str) "
                "-> object"));

    register_cache_methods(cls);
    register_combine_methods(cls);
    register_playback_methods(cls);
}

} // namespace quarvel::ticker
