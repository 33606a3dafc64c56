// Tick tables and K-bar tables as polars DataFrames, built column by column from native
// vectors handed over as numpy arrays. GIL held throughout.
#include <nanobind/ndarray.h>

#include "_native/private_api.hpp"
#include "_native/pyns.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

namespace {

nb::object pl() {
    return native::module_attr(kModule, "pl");
}

/// A numpy array that owns `values`; `Item` is the element type numpy sees.
template <class Item, class T> nb::object numpy_column(std::vector<T> &&values) {
    static_assert(sizeof(Item) == sizeof(T));
    auto *owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    const std::size_t shape[1] = {owned->size()};
    return nb::ndarray<nb::numpy, Item, nb::ndim<1>>(reinterpret_cast<Item *>(owned->data()), 1,
                                                     shape, owner)
        .cast();
}

template <class T> nb::object series(const char *name, std::vector<T> &&values) {
    return pl().attr("Series")(name, numpy_column<T>(std::move(values)));
}

nb::object datetime_series(std::vector<core::quotes::LocalMicros> &&values) {
    nb::object p = pl();
    return p.attr("Series")("dt", numpy_column<std::int64_t>(std::move(values)))
        .attr("cast")(p.attr("Datetime")("us"));
}

nb::object bool_series(const char *name, std::vector<std::uint8_t> &&values) {
    return pl().attr("Series")(name, numpy_column<bool>(std::move(values)));
}

/// A text column: the distinct texts gathered by index.
nb::object text_series(const char *name, const std::vector<std::string> &texts,
                       std::vector<std::uint32_t> &&ids) {
    nb::list distinct;
    for (const std::string &t : texts)
        distinct.append(nb::str(t.data(), t.size()));
    nb::object p = pl();
    nb::object table = p.attr("Series")(name, distinct, nb::arg("dtype") = p.attr("Utf8"));
    return table.attr("gather")(numpy_column<std::uint32_t>(std::move(ids)));
}

nb::object frame(nb::list columns) {
    return pl().attr("DataFrame")(columns);
}

} // namespace

nb::object empty_tick_frame() {
    nb::object p = pl();
    nb::dict schema;
    schema["dt"] = p.attr("Datetime");
    schema["market_type"] = p.attr("Utf8");
    schema["code"] = p.attr("Utf8");
    schema["close"] = p.attr("Float64");
    schema["qty"] = p.attr("Int64");
    schema["tick_type"] = p.attr("Int8");
    schema["is_simulate"] = p.attr("Boolean");
    schema["is_virtual"] = p.attr("Boolean");
    return p.attr("DataFrame")(nb::list(), nb::arg("schema") = schema);
}

nb::object empty_kbar_frame() {
    nb::object p = pl();
    nb::dict schema;
    schema["dt"] = p.attr("Datetime");
    schema["code"] = p.attr("Utf8");
    for (const char *name : {"Open", "High", "Low", "Close"})
        schema[name] = p.attr("Float64");
    schema["Volume"] = p.attr("Int64");
    return p.attr("DataFrame")(nb::list(), nb::arg("schema") = schema);
}

nb::object tick_frame(const core::quotes::TickStore &rows) {
    const std::vector<std::uint32_t> order = rows.order_by_dt(0, rows.size());
    const std::size_t n = order.size();
    std::vector<core::quotes::LocalMicros> dt(n);
    std::vector<std::uint32_t> market(n), code(n);
    std::vector<double> close(n);
    std::vector<std::int64_t> qty(n);
    std::vector<std::int8_t> tick_type(n);
    std::vector<std::uint8_t> simulate(n), virtual_(n);
    for (std::size_t k = 0; k < n; ++k) {
        const core::quotes::StoredTick r = rows.row(order[k]);
        dt[k] = r.dt;
        market[k] = r.market;
        code[k] = r.code;
        close[k] = r.close;
        qty[k] = r.qty;
        tick_type[k] = r.tick_type;
        simulate[k] = r.is_simulate;
        virtual_[k] = r.is_virtual;
    }
    nb::list columns;
    columns.append(datetime_series(std::move(dt)));
    columns.append(text_series("market_type", rows.markets(), std::move(market)));
    columns.append(text_series("code", rows.codes(), std::move(code)));
    columns.append(series("close", std::move(close)));
    columns.append(series("qty", std::move(qty)));
    columns.append(series("tick_type", std::move(tick_type)));
    columns.append(bool_series("is_simulate", std::move(simulate)));
    columns.append(bool_series("is_virtual", std::move(virtual_)));
    return frame(columns);
}

nb::object kbar_frame(const std::vector<core::quotes::Bar> &bars, std::size_t begin,
                      std::size_t end, const core::quotes::TickStore &rows) {
    const std::size_t n = end - begin;
    std::vector<core::quotes::LocalMicros> dt(n);
    std::vector<std::uint32_t> code(n);
    std::vector<double> open(n), high(n), low(n), close(n);
    std::vector<std::int64_t> volume(n);
    for (std::size_t k = 0; k < n; ++k) {
        const core::quotes::Bar &b = bars[begin + k];
        dt[k] = b.dt;
        code[k] = b.code;
        open[k] = b.open;
        high[k] = b.high;
        low[k] = b.low;
        close[k] = b.close;
        volume[k] = b.volume;
    }
    nb::list columns;
    columns.append(datetime_series(std::move(dt)));
    columns.append(text_series("code", rows.codes(), std::move(code)));
    columns.append(series("Open", std::move(open)));
    columns.append(series("High", std::move(high)));
    columns.append(series("Low", std::move(low)));
    columns.append(series("Close", std::move(close)));
    columns.append(series("Volume", std::move(volume)));
    return frame(columns);
}

namespace {

/// polars' native module when this polars version has it, else null. Private to polars and
/// free to change in any release: its column and table constructors make the one-bar table
/// of the per-tick path about three times cheaper (bench_quote_manager (b) get_kbar per
/// tick: 17 us CPU, 49 on the public constructors). Every caller falls back to the public
/// constructors when this is null (QUARVEL_PUBLIC_API=1 forces that).
nb::object polars_native() {
    if (native::public_api_only())
        return {};
    PyObject *mod = PyImport_ImportModule("polars._plr");
    if (!mod) {
        PyErr_Clear();
        return {};
    }
    return nb::steal(mod);
}

/// The last bar's table through polars' native constructors; null when they are missing.
nb::object one_bar_frame_native(const core::quotes::Bar &bar, const OpenBarColumns &reuse) {
    nb::object native = polars_native();
    if (!native.is_valid())
        return {};
    try {
        nb::object series = native.attr("PySeries");
        auto column = [](nb::handle make, const char *name, nb::handle value) {
            nb::list values;
            values.append(value);
            return make(name, values, true);
        };
        nb::object f64 = series.attr("new_opt_f64");
        nb::list columns;
        columns.append(reuse.dt_column.attr("_s"));
        columns.append(reuse.code_column.attr("_s"));
        columns.append(reuse.open_column.attr("_s"));
        columns.append(column(f64, "High", nb::float_(bar.high)));
        columns.append(column(f64, "Low", nb::float_(bar.low)));
        columns.append(column(f64, "Close", nb::float_(bar.close)));
        columns.append(column(series.attr("new_opt_i64"), "Volume", nb::int_(bar.volume)));
        return pl().attr("DataFrame").attr("_from_pydf")(native.attr("PyDataFrame")(columns));
    } catch (const nb::python_error &) {
        return {}; // a polars without these constructors: the public way below
    }
}

} // namespace

nb::object one_bar_frame(const core::quotes::Bar &bar, const core::quotes::TickStore &rows,
                         OpenBarColumns &reuse) {
    nb::object p = pl();
    nb::object make = p.attr("Series");
    auto column = [&make](const char *name, nb::handle value, nb::handle dtype) {
        nb::list values;
        values.append(value);
        return make(name, values, nb::arg("dtype") = dtype);
    };
    if (!reuse.valid || reuse.dt != bar.dt || reuse.code != bar.code || reuse.open != bar.open) {
        const std::string &code = rows.code_text(bar.code);
        reuse.dt_column = column("dt", py_datetime(bar.dt), p.attr("Datetime")("us"));
        reuse.code_column = column("code", nb::str(code.data(), code.size()), p.attr("Utf8"));
        reuse.open_column = column("Open", nb::float_(bar.open), p.attr("Float64"));
        reuse.dt = bar.dt;
        reuse.code = bar.code;
        reuse.open = bar.open;
        reuse.valid = true;
    }
    nb::object fast = one_bar_frame_native(bar, reuse);
    if (fast.is_valid())
        return fast;
    nb::object f64 = p.attr("Float64");
    nb::list columns;
    columns.append(reuse.dt_column);
    columns.append(reuse.code_column);
    columns.append(reuse.open_column);
    columns.append(column("High", nb::float_(bar.high), f64));
    columns.append(column("Low", nb::float_(bar.low), f64));
    columns.append(column("Close", nb::float_(bar.close), f64));
    columns.append(column("Volume", nb::int_(bar.volume), p.attr("Int64")));
    return frame(columns);
}

} // namespace quarvel::positions
