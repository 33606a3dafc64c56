// Native rows of a played table and their conversion to tick dicts and markers.
#include "tick_source.hpp"

#include <cstring>
#include <string>
#include <type_traits>

#include "_native/errors.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"

namespace quarvel::ticker {

namespace {

template <typename T>
const T *column_data(PlayedTable &columns, nb::handle table, const char *name) {
    nb::object array = table.attr("get_column")(name).attr("to_numpy")();
    // No conversion: the pointer must stay valid for as long as `array` is held.
    auto view =
        nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(array, false);
    if (view.shape(0) != columns.view.rows)
        native::raise_value_error(std::string("Tick 資料欄位長度不符: ") + name);
    columns.keep_alive.push_back(array);
    return view.data();
}

nb::object new_long(std::int64_t value) {
    return nb::steal(PyLong_FromLongLong(static_cast<long long>(value)));
}

} // namespace

PlayedTable read_played_table(nb::handle df) {
    PlayedTable columns;
    columns.view.rows = nb::cast<std::size_t>(df.attr("height"));
    if (columns.view.rows == 0)
        return columns;
    nb::object pl = native::module_attr(kModule, "pl");
    nb::list codes = nb::borrow<nb::list>(df.attr("get_column")("code")
                                              .attr("unique")(nb::arg("maintain_order") = true)
                                              .attr("drop_nulls")()
                                              .attr("to_list")());
    auto col = [&](const char *name) { return pl.attr("col")(name); };
    nb::object table =
        df.attr("select")(col("ts").attr("cast")(pl.attr("Int64")),
                          col("close").attr("cast")(pl.attr("Float64")),
                          col("volume").attr("cast")(pl.attr("Int64")),
                          col("tick_type").attr("cast")(pl.attr("Int64")),
                          // Code index through an Enum of the codes: no per-row hashing.
                          col("code")
                              .attr("cast")(pl.attr("Enum")(codes))
                              .attr("to_physical")()
                              .attr("cast")(pl.attr("UInt32")))
            .attr("rechunk")();
    nb::object nulls = table.attr("null_count")().attr("sum_horizontal")().attr("item")();
    if (nb::cast<long long>(nulls) != 0)
        native::raise_value_error("Tick 資料含有空值, 無法傳送");
    for (nb::handle code : codes)
        columns.codes.push_back(nb::borrow(code));
    columns.view.ts = column_data<std::int64_t>(columns, table, "ts");
    columns.view.close = column_data<double>(columns, table, "close");
    columns.view.volume = column_data<std::int64_t>(columns, table, "volume");
    columns.view.tick_type = column_data<std::int64_t>(columns, table, "tick_type");
    columns.view.code = column_data<std::uint32_t>(columns, table, "code");
    return columns;
}

TickDictPartsPtr make_row_source(const PlayedTable &columns, nb::handle code_market_map) {
    auto source = std::make_shared<TickDictParts>();
    for (const nb::object &code : columns.codes) {
        source->codes.push_back(code);
        source->markets.push_back(code_market_map[code]);
    }
    source->to_seconds = native::module_attr(kModule, "format_nano_ts_to_second_ts");
    source->hours = nb::int_(8);
    source->native_seconds = source->to_seconds.is(
        nb::module_::import_("quarvel.utils").attr("format_nano_ts_to_second_ts"));
    return source;
}

namespace {

/// The dict a tick of `code` is copied from (see TickDictParts::shapes).
PyObject *tick_shape(const TickDictParts &source, std::uint32_t code, bool backfilling) {
    const std::size_t at = 2 * static_cast<std::size_t>(code) + (backfilling ? 1 : 0);
    if (source.shapes.size() <= at)
        source.shapes.resize(at + 1);
    nb::object &shape = source.shapes[at];
    if (!shape.is_valid()) {
        // Filled key by key from empty: a table of str keys only, the compact kind that later
        // look-ups are quickest on; the key order is the tick's.
        const TickerKeys &k = native::interned<TickerKeys>();
        const std::pair<nb::handle, nb::handle> items[] = {
            {k.market_type, source.markets.at(code)},
            {k.timestamp, Py_None},
            {k.code, source.codes.at(code)},
            {k.close, Py_None},
            {k.qty, Py_None},
            {k.tick_type, Py_None},
            {k.is_simulate, Py_False},
            {k.is_backfilling, backfilling ? Py_True : Py_False}};
        nb::object made = nb::steal(PyDict_New());
        for (const auto &[key, value] : items)
            if (!made.is_valid() || PyDict_SetItem(made.ptr(), key.ptr(), value.ptr()) != 0)
                throw nb::python_error();
        shape = std::move(made);
    }
    return shape.ptr();
}

/// The shape's value under `key`, replaced by `make()` unless it is exactly `value` (a float
/// of the same bits, an int of the same value): ticks come several to a second and often
/// at one price. Borrowed: the shape holds it.
template <typename T, typename Make>
PyObject *refresh(PyObject *shape, nb::handle key, T value, Make make) {
    PyObject *held = PyDict_GetItemWithError(shape, key.ptr());
    if (!held && PyErr_Occurred())
        throw nb::python_error();
    if (held) {
        if constexpr (std::is_same_v<T, double>) {
            if (PyFloat_CheckExact(held)) {
                const double was = PyFloat_AS_DOUBLE(held);
                if (std::memcmp(&was, &value, sizeof value) == 0)
                    return held;
            }
        } else if (PyLong_CheckExact(held)) {
            int overflow = 0;
            const long long was = PyLong_AsLongLongAndOverflow(held, &overflow);
            if (!overflow && was == static_cast<long long>(value))
                return held;
        }
    }
    nb::object fresh = make();
    if (!fresh.is_valid() || PyDict_SetItem(shape, key.ptr(), fresh.ptr()) != 0)
        throw nb::python_error();
    return fresh.ptr();
}

} // namespace

// The hot path of every tick: the code's shape takes the values that changed since its last
// tick, and the tick is a copy of it.
nb::object make_tick_dict(const TickDictParts &source, const core::ticker::PlayedTick &row,
                          native::ReplayTick *made) {
    const TickerKeys &k = native::interned<TickerKeys>();
    PyObject *shape = tick_shape(source, row.code, row.backfilling);
    PyObject *timestamp = nullptr;
    if (!source.native_seconds) {
        nb::object ts = new_long(row.ts);
        PyObject *args[] = {ts.ptr(), source.hours.ptr()};
        nb::object seconds =
            nb::steal(PyObject_Vectorcall(source.to_seconds.ptr(), args, 2, nullptr));
        if (!seconds.is_valid() || PyDict_SetItem(shape, k.timestamp.ptr(), seconds.ptr()) != 0)
            throw nb::python_error();
        timestamp = seconds.ptr();
    } else {
        // ts / 1e9 - hours * 3600 as Python computes it: the int rounded to a double first.
        const double seconds = static_cast<double>(row.ts) / 1e9 - 8 * 3600.0;
        timestamp = refresh(shape, k.timestamp, seconds,
                            [&] { return nb::steal(PyFloat_FromDouble(seconds)); });
    }
    PyObject *close = refresh(shape, k.close, row.close,
                              [&] { return nb::steal(PyFloat_FromDouble(row.close)); });
    PyObject *qty = refresh(shape, k.qty, row.volume, [&] { return new_long(row.volume); });
    PyObject *tick_type =
        refresh(shape, k.tick_type, row.tick_type, [&] { return new_long(row.tick_type); });
    nb::dict tick = nb::steal<nb::dict>(PyDict_Copy(shape));
    if (!tick.is_valid())
        throw nb::python_error();
    if (made) // the dict holds each value
        *made = {tick.ptr(), source.markets.at(row.code).ptr(),
                 timestamp,  source.codes.at(row.code).ptr(),
                 close,      qty,
                 tick_type,  Py_False};
    return tick;
}

nb::object make_status_marker(const char *flag_name) {
    nb::dict marker;
    marker["orva_status"] = native::module_attr(kModule, "FLAG").attr(flag_name).attr("value");
    return marker;
}

// ---- PyHandoffQueue --------------------------------------------------------------------

PyHandoffQueue::~PyHandoffQueue() {
    // GIL held: the queue dies with its Python object.
    while (auto item = queue_.try_get())
        discard(*item);
}

std::uint32_t PyHandoffQueue::register_source(TickDictPartsPtr source) {
    sources_.push_back(std::move(source));
    return static_cast<std::uint32_t>(sources_.size() - 1);
}

core::ticker::QueueItem PyHandoffQueue::wrap(nb::handle obj) {
    core::ticker::QueueItem item;
    if (obj.ptr() == Py_True) {
        item.kind = core::ticker::ItemKind::Token;
        return item;
    }
    item.kind = core::ticker::ItemKind::Object;
    item.object = reinterpret_cast<std::uintptr_t>(nb::borrow(obj).release().ptr());
    return item;
}

void PyHandoffQueue::discard(const core::ticker::QueueItem &item) {
    if (item.kind == core::ticker::ItemKind::Object)
        Py_DECREF(reinterpret_cast<PyObject *>(item.object));
}

nb::object PyHandoffQueue::unwrap(const core::ticker::QueueItem &item,
                                  native::ReplayTick *made) const {
    switch (item.kind) {
    case core::ticker::ItemKind::Object:
        return nb::steal(reinterpret_cast<PyObject *>(item.object));
    case core::ticker::ItemKind::Token:
        return nb::borrow(Py_True);
    case core::ticker::ItemKind::Row:
        return make_tick_dict(*sources_.at(item.row.source), item.row, made);
    case core::ticker::ItemKind::EndOfStream:
        return make_status_marker("exit_send_tick");
    case core::ticker::ItemKind::EndOfBackfilling:
        return make_status_marker("finish_backfilling");
    }
    return nb::none();
}

nb::object PyHandoffQueue::get(bool block, nb::handle timeout, native::ReplayTick *made) {
    using clock = std::chrono::steady_clock;
    if (auto item = queue_.try_get())
        return unwrap(*item, made);
    auto empty = [] {
        PyErr_SetNone(native::module_attr(kModule, "queue").attr("Empty").ptr());
        throw nb::python_error();
    };
    if (!block)
        empty();
    bool forever = timeout.is_none();
    double seconds = forever ? 0.0 : nb::cast<double>(timeout);
    if (!forever && seconds < 0)
        native::raise_value_error("'timeout' must be a non-negative number");
    const auto deadline =
        clock::now() + std::chrono::duration_cast<clock::duration>(
                           std::chrono::duration<double>(forever ? 0.0 : seconds));
    // GIL held while spinning: the native producer needs no GIL, and a hand-off that arrives
    // within the spin costs no GIL round trip.
    if (queue_.spin_until_ready()) {
        if (auto item = queue_.try_get())
            return unwrap(*item, made);
    }
    constexpr auto kSlice = std::chrono::milliseconds(50);
    for (;;) {
        auto wait = kSlice;
        if (!forever) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now());
            if (left.count() <= 0)
                empty();
            if (left < wait)
                wait = std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                       std::chrono::milliseconds(1);
        }
        std::optional<core::ticker::QueueItem> item;
        {
            nb::gil_scoped_release release; // GIL released: no Python objects below
            item = queue_.get_for(wait, false);
        }
        if (item)
            return unwrap(*item, made);
        if (PyErr_CheckSignals() != 0)
            throw nb::python_error();
    }
}

} // namespace quarvel::ticker
