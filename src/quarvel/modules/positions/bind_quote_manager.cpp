// QuoteManager: the tick store with its trading calendar. Ticks arrive one at a time;
// minutes without trades get virtual ticks, ticks inside a non-trading window move to the
// end of the session before it. K-bar building lives in bind_quote_manager_kbar.cpp.
#include "_native/args.hpp"
#include "_native/code_arg.hpp"
#include "_native/pyns.hpp"
#include "_native/records.hpp"
#include "_native/replay_entries.hpp"
#include "_native/tick_args.hpp"
#include "core/tick_rules.hpp"
#include "quote_manager.hpp"

#include <algorithm>
#include <cstdio>

namespace quarvel::positions {

using namespace native;

namespace {

/// Windows in which a market does not trade: [start, end] pairs, both inclusive.
nb::dict default_not_trade_times() {
    auto window = [](int h1, int m1, int s1, int h2, int m2, int s2) {
        nb::list pair;
        pair.append(py_time(h1, m1, s1));
        pair.append(py_time(h2, m2, s2));
        return pair;
    };
    nb::list stock, future;
    stock.append(window(13, 30, 0, 23, 59, 59));
    stock.append(window(0, 0, 0, 8, 59, 59));
    future.append(window(13, 45, 0, 14, 59, 59));
    future.append(window(5, 0, 0, 8, 44, 59));
    nb::dict table;
    table["Stock"] = stock;
    table["Future"] = future;
    return table;
}

/// The "Date" column of the shipped holiday calendar, as a set of "%Y-%m-%d" texts.
nb::object read_holidays() {
    nb::object os_path = module_attr(kModule, "os").attr("path");
    nb::object path =
        os_path.attr("join")(module_attr(kModule, "static_dir"), "holidays_search_from_2017.csv");
    nb::object table =
        module_attr(kModule, "pl").attr("read_csv")(path, nb::arg("has_header") = true);
    PyObject *dates = PySet_New(table["Date"].attr("to_list")().ptr());
    if (!dates)
        throw nb::python_error();
    return nb::steal(dates);
}

/// The non-trading windows of `market_type` from the `not_trade_times` attribute.
std::vector<core::quotes::TimeWindow> windows_of(const QuoteManager &manager, nb::handle self,
                                                 nb::handle market_type) {
    std::vector<core::quotes::TimeWindow> windows;
    nb::object table = self.attr(manager.keys.not_trade_times);
    nb::object pairs = PyDict_CheckExact(table.ptr()) ? find_item(table, market_type)
                                                      : table.attr("get")(market_type, nb::none());
    if (!pairs.is_valid() || pairs.is_none())
        return windows;
    auto item = [](nb::handle sequence, Py_ssize_t i) {
        PyObject *value = PySequence_GetItem(sequence.ptr(), i);
        if (!value)
            throw nb::python_error();
        return nb::steal(value);
    };
    for (nb::handle pair : pairs)
        windows.push_back({time_micros(item(pair, 0), "not_trade_times start"),
                           time_micros(item(pair, 1), "not_trade_times end")});
    return windows;
}

/// Whether `memo` was read from `pairs` as it is now: the same pair objects holding the same
/// start and end objects (times are immutable, so equal objects mean equal windows).
bool same_pairs(const WindowsMemo &memo, PyObject *pairs) {
    const Py_ssize_t count = PyList_GET_SIZE(pairs);
    if (static_cast<std::size_t>(count) * 3 != memo.items.size())
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *pair = PyList_GET_ITEM(pairs, i);
        const std::size_t at = static_cast<std::size_t>(i) * 3;
        if (pair != memo.items[at].ptr() || !PyList_CheckExact(pair) || PyList_GET_SIZE(pair) < 2 ||
            PyList_GET_ITEM(pair, 0) != memo.items[at + 1].ptr() ||
            PyList_GET_ITEM(pair, 1) != memo.items[at + 2].ptr())
            return false;
    }
    return true;
}

/// windows_of, remembered while `not_trade_times` and its lists stay the same objects with
/// the same contents (read on every tick, so checked by identity instead of read again).
const std::vector<core::quotes::TimeWindow> &market_windows(QuoteManager &qm, nb::handle self,
                                                            nb::handle market_type) {
    nb::object table = qm.trade_times.get(self, qm.keys.not_trade_times);
    PyObject *pairs = nullptr;
    if (PyDict_CheckExact(table.ptr()) && PyUnicode_CheckExact(market_type.ptr())) {
        pairs = PyDict_GetItemWithError(table.ptr(), market_type.ptr());
        if (!pairs && PyErr_Occurred())
            throw nb::python_error();
    }
    if (!pairs || !PyList_CheckExact(pairs)) {
        qm.windows_read = windows_of(qm, self, market_type);
        return qm.windows_read;
    }
    auto memo = std::find_if(qm.windows_memo.begin(), qm.windows_memo.end(),
                             [&](auto &m) { return m.market_type.equal(market_type); });
    if (memo != qm.windows_memo.end() && memo->table.is(table) && memo->pairs.ptr() == pairs &&
        same_pairs(*memo, pairs))
        return memo->windows;
    WindowsMemo fresh{
        table, nb::borrow(market_type), nb::borrow(pairs), {}, windows_of(qm, self, market_type)};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs); ++i) {
        PyObject *pair = PyList_GET_ITEM(pairs, i);
        const bool plain = PyList_CheckExact(pair) && PyList_GET_SIZE(pair) >= 2;
        fresh.items.push_back(nb::borrow(pair));
        fresh.items.push_back(plain ? nb::borrow(PyList_GET_ITEM(pair, 0)) : nb::object());
        fresh.items.push_back(plain ? nb::borrow(PyList_GET_ITEM(pair, 1)) : nb::object());
    }
    if (memo == qm.windows_memo.end())
        memo = qm.windows_memo.insert(qm.windows_memo.end(), std::move(fresh));
    else
        *memo = std::move(fresh);
    return memo->windows;
}

/// Whether the trading day `day` is in the `holiday_search_set` attribute.
bool is_holiday(nb::handle holidays, std::int64_t day) {
    const core::quotes::CivilDateTime c =
        core::quotes::civil_from_local(day * core::quotes::kMicrosPerDay);
    char text[16];
    const int size = std::snprintf(text, sizeof text, "%04d-%02d-%02d", c.year, c.month, c.day);
    nb::str key(text, static_cast<std::size_t>(size));
    const int found = PySequence_Contains(holidays.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

/// tick[key], or KeyError(key) as a dict lookup raises it.
nb::handle tick_item(nb::handle tick, nb::handle key) {
    PyObject *value = PyDict_GetItemWithError(tick.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    return value;
}

/// The values of a tick dict add_tick reads.
struct TickFields {
    nb::handle timestamp, code, market_type, close, qty, tick_type, is_simulate;
};

void store_tick(QuoteManager &manager, nb::handle self, const TickFields &fields) {
    const RowKeys &k = manager.keys.row;
    const auto &[timestamp, code, market_type, close, qty, tick_type, is_simulate] = fields;
    check_tick_time_arg(timestamp);
    const core::quotes::LocalMicros when = local_from_timestamp(timestamp);
    require_safe_code(code, "tick['code']");
    const std::string_view code_text = text_value(code, "tick['code']");
    const std::string_view market_text = text_value(market_type, "tick['market_type']");
    const double close_value = price_value(close, "tick['close']");
    core::input_rules::check_deal_price(close_value);
    const std::int64_t qty_lots = qty_value(qty, "tick['qty']");
    core::input_rules::check_deal_lots(qty_lots); // K-bar volumes are sums of these
    core::quotes::StoredTick real{when,
                                  close_value,
                                  qty_lots,
                                  tick_type_value(tick_type, "tick['tick_type']"),
                                  flag_value(is_simulate, "tick['is_simulate']"),
                                  false,
                                  0,
                                  0};

    // The record stored in last time, while nothing on the way to it has changed.
    StoreLookup &memo = manager.last_stored;
    const bool known = memo.holds(self, code);
    nb::object ticks, record;
    bool is_new = false;
    if (known) {
        record = memo.record;
    } else {
        ticks = self.attr(manager.keys.ticks);
        record = find_item(ticks, code);
        is_new = !record.is_valid();
        if (is_new)
            record = make_ticks_info(manager);
    }
    const std::vector<core::quotes::TimeWindow> &current_windows =
        market_windows(manager, self, market_type);
    real.dt = core::quotes::move_out_of_window(when, current_windows);

    // Virtual rows for the minutes that passed without a tick.
    std::vector<core::quotes::LocalMicros> minutes;
    core::quotes::StoredTick filler{};
    nb::handle filler_market, filler_code;
    bool python_ran = false; // the holiday look-ups may have changed the store
    nb::object last = native::item(record, manager.keys.last_tick);
    if (PyDict_Check(last.ptr()) && PyDict_Size(last.ptr()) > 0) {
        // The row stored last, unchanged since: its date-time is the one written into it.
        const RowMemo &written = manager.last_row;
        nb::object last_dt_obj =
            written.holds(last.ptr()) ? nb::borrow(written.values[0]) : last[k.dt];
        const core::quotes::LocalMicros last_dt =
            last_dt_obj.is(manager.last_dt) ? manager.last_dt_micros
                                            : local_micros(last_dt_obj, "last_tick['dt']");
        core::quotes::check_gap(last_dt, when); // before a single row is made
        if (core::quotes::missing_minute_count(last_dt, when) > 1) {
            // A copy: the holiday lookups run Python code, which may add ticks here too.
            const std::vector<core::quotes::TimeWindow> windows = current_windows;
            nb::object holidays = self.attr(manager.keys.holiday_search_set);
            python_ran = true;
            minutes = core::quotes::virtual_minutes(
                last_dt, when, market_text == "Future", windows,
                [&holidays](std::int64_t day) { return is_holiday(holidays, day); });
        }
        if (!minutes.empty()) {
            filler_market = last[k.market_type];
            filler_code = last[k.code];
            filler.close = price_value(last[k.close], "last_tick['close']");
            text_value(filler_market, "last_tick['market_type']");
            text_value(filler_code, "last_tick['code']");
            filler.is_virtual = true;
        }
    }

    RowsRef pending = known && !python_ran ? RowsRef{memo.pending, memo.pending_rows}
                                           : rows_ref(record, manager.keys.ticks);
    core::quotes::TickStore &rows = pending.rows->rows;
    if (!minutes.empty()) {
        filler.market = rows.market_id(text_value(filler_market, "last_tick['market_type']"));
        filler.code = rows.code_id(text_value(filler_code, "last_tick['code']"));
        for (core::quotes::LocalMicros minute : minutes) {
            filler.dt = minute;
            rows.push(filler);
        }
    }
    real.market = rows.market_id(market_text);
    real.code = rows.code_id(code_text);
    rows.push(real);
    // The row replaced may be refilled: only when it is still the one read above (no Python
    // code has run since unless the holidays were looked up).
    PyObject *held = known && !python_ran ? last.ptr()
                     : PyDict_CheckExact(record.ptr())
                         ? PyDict_GetItemWithError(record.ptr(), manager.keys.last_tick.ptr())
                         : nullptr;
    if (!held && PyErr_Occurred())
        throw nb::python_error();
    if (!manager.last_dt.is_valid() || manager.last_dt_micros != real.dt) {
        manager.last_dt = py_datetime(real.dt);
        manager.last_dt_micros = real.dt;
    }
    nb::dict row = make_tick_row(k, manager.last_dt, market_type, code, close, qty, tick_type,
                                 real.is_simulate, false, held == last.ptr() ? last : nb::handle(),
                                 &manager.last_row);
    const bool replaced = !row.is(last);
    if (replaced)
        record[manager.keys.last_tick] = row;
    if (is_new)
        ticks[code] = record;
    if (!known || replaced || python_ran)
        memo.remember(self, code);
}

void add_tick(QuoteManager &manager, nb::handle self, nb::handle tick) {
    require_dict(tick, "tick");
    const RowKeys &k = manager.keys.row;
    // Every key is read before anything is stored, so a bad tick leaves no trace.
    store_tick(manager, self,
               {tick_item(tick, manager.keys.timestamp), tick_item(tick, k.code),
                tick_item(tick, k.market_type), tick_item(tick, k.close), tick_item(tick, k.qty),
                tick_item(tick, k.tick_type), tick_item(tick, k.is_simulate)});
}

} // namespace

int add_tick_entry(PyObject *self, const native::ReplayTick &tick) {
    return native::run_entry([&] {
        if (!nb::isinstance<QuoteManager>(self))
            raise_arg_type("self", "QuoteManager", self);
        store_tick(*nb::inst_ptr<QuoteManager>(self), self,
                   {tick.timestamp, tick.code, tick.market_type, tick.close, tick.qty,
                    tick.tick_type, tick.is_simulate});
    });
}

nb::dict make_ticks_info(const QuoteManager &manager) {
    nb::dict info;
    info[manager.keys.ticks] = new_tick_rows();
    info[manager.keys.old_ticks] = new_tick_rows();
    info[manager.keys.last_tick] = nb::none();
    info[manager.keys.cached_kbars] = nb::dict();
    return info;
}

nb::object find_item(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(value);
    }
    const int found = PySequence_Contains(mapping.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found ? nb::object(mapping[key]) : nb::object();
}

void register_store_methods(nb::class_<QuoteManager> &cls) {
    cls.def(
        "__init__",
        [](QuoteManager *manager) {
            new (manager) QuoteManager();
            nb::handle self = nb::find(manager);
            self.attr("holiday_search_set") = read_holidays();
            self.attr("ticks") = nb::dict();
            self.attr("not_trade_times") = default_not_trade_times();
        },
        nb::sig("def __init__(self) -> None"));
    cls.def(
        "get_init_ticks_info", [](const QuoteManager &manager) { return make_ticks_info(manager); },
        nb::sig("def get_init_ticks_info(self) -> dict"));
    cls.def(
        "get_empty_tick_df", [](nb::handle) { return empty_tick_frame(); },
        nb::sig("def get_empty_tick_df(self) -> polars.DataFrame"));
    cls.def(
        "clear_ticks", [](nb::handle self) { self.attr("ticks") = nb::dict(); },
        nb::sig("def clear_ticks(self) -> None"));
    cls.def(
        "add_tick",
        [](nb::pointer_and_handle<QuoteManager> self, nb::handle tick) {
            add_tick(*self.p, self.h, tick);
        },
        nb::arg("tick").none(), nb::sig("def add_tick(self, tick: dict) -> None"));
}

void bind_quote_manager(nb::module_ &m) {
    register_tick_rows(m);
    nb::class_<QuoteManager> cls(m, "QuoteManager", nb::dynamic_attr());
    cls.doc() = "報價管理";
    register_store_methods(cls);
    register_kbar_methods(cls);
}

} // namespace quarvel::positions
