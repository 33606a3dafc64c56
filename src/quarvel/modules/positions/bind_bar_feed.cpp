// BarFeed: K-bars followed natively as the tick store grows. The driver polls it after each
// tick for the bars that closed (bar events); a strategy asks it for the last n bars of a
// series (BarsView) without any table being built. GIL held throughout.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <climits>
#include <optional>

#include "_native/args.hpp"
#include "_native/replay_entries.hpp"
#include "bar_feed.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

const char *const kUnitError = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']";

} // namespace

core::quotes::BarWidth kbar_width(nb::handle unit, nb::handle freq) {
    require_int(freq, "freq");
    std::optional<core::quotes::BarUnit> bar_unit;
    if (PyUnicode_Check(unit.ptr()))
        bar_unit = core::quotes::parse_bar_unit(text_value(unit, "unit"));
    if (!bar_unit)
        throw nb::type_error(kUnitError);
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred())
        throw nb::python_error();
    return core::quotes::make_bar_width(
        *bar_unit, overflow > 0 ? INT64_MAX : (overflow < 0 ? INT64_MIN : count));
}

namespace {

FeedSeries &series_of(BarFeed &feed, nb::handle code, nb::handle unit, nb::handle freq) {
    require_str(code, "code");
    const std::string_view code_text = text_value(code, "code");
    if (PyUnicode_Check(unit.ptr()) && PyLong_CheckExact(freq.ptr())) {
        const std::string_view unit_text = text_value(unit, "unit");
        const long long count = PyLong_AsLongLong(freq.ptr());
        if (!(count == -1 && PyErr_Occurred())) {
            for (auto &s : feed.series)
                if (s->freq == count && s->code == code_text && s->unit == unit_text)
                    return *s;
        }
        PyErr_Clear();
    }
    const core::quotes::BarWidth width = kbar_width(unit, freq);
    auto fresh = std::make_unique<FeedSeries>(
        FeedSeries{std::string(code_text), std::string(text_value(unit, "unit")), width.count,
                   nb::borrow(code), nb::borrow(unit), core::quotes::BarStream(width), nb::object(),
                   0, 0, false, StoreLookup{}});
    feed.series.push_back(std::move(fresh));
    return *feed.series.back();
}

void reset(FeedSeries &s) {
    s.stream.clear();
    s.history = nb::object();
    s.position = 0;
    s.delivered = 0;
}

/// Feeds the rows after those read so far, the history and the pending rows read as one.
void feed_rows(FeedSeries &s, const core::quotes::TickStore &old_rows,
               const core::quotes::TickStore &new_rows) {
    const std::size_t held = old_rows.size();
    if (s.position > held + new_rows.size()) {
        const nb::object history = s.history;
        reset(s);
        s.history = history;
    }
    if (s.position < held) {
        s.stream.feed(old_rows, s.position, held);
        s.position = held;
    }
    if (s.position < held + new_rows.size()) {
        s.stream.feed(new_rows, s.position - held, new_rows.size());
        s.position = held + new_rows.size();
    }
}

/// Reads the rows the store gained since the last call. The store keeps a code's rows in
/// two parts, history then pending; get_kbar moves pending rows to the end of history, so
/// a row keeps its place in the two parts read as one. A store replaced or emptied
/// (clear_ticks, another history object) starts the series over.
void sync(const BarFeed &feed, FeedSeries &s) {
    // Kept for the life of the process (no release after the interpreter ends).
    static PyObject *const ticks_name = PyUnicode_InternFromString("ticks"),
                           *const old_ticks_name = PyUnicode_InternFromString("old_ticks");
    const nb::handle ticks_key(ticks_name), old_ticks_key(old_ticks_name);
    if (s.lookup.holds(feed.quotes, s.code_obj) && s.lookup.history_rows &&
        s.history.is(s.lookup.history)) {
        feed_rows(s, s.lookup.history_rows->rows, s.lookup.pending_rows->rows);
        return;
    }
    nb::object record = find_item(feed.quotes.attr(ticks_key), s.code_obj);
    if (!record.is_valid()) {
        if (s.history.is_valid())
            reset(s);
        return;
    }
    RowsRef history = rows_ref(record, old_ticks_key);
    RowsRef pending = rows_ref(record, ticks_key);
    if (!s.history.is(history.owner)) {
        if (s.history.is_valid())
            reset(s);
        s.history = history.owner;
    }
    feed_rows(s, history.rows->rows, pending.rows->rows);
    s.lookup.remember(feed.quotes, s.code_obj);
}

nb::object make_bar(const BarFeed &feed, const FeedSeries &s, const core::quotes::Bar &b) {
    nb::object values[] = {py_datetime(b.dt), nb::float_(b.open),  nb::float_(b.high),
                           nb::float_(b.low), nb::float_(b.close), nb::int_(b.volume),
                           s.unit_obj,        nb::int_(s.freq)};
    constexpr std::size_t kCount = std::size(values);
    PyObject *bar = nullptr;
    if (feed.packs_only) { // tuple.__new__(bar_type, values), as a NamedTuple's own __new__
        PyObject *packed = PyTuple_New(kCount);
        if (!packed)
            throw nb::python_error();
        for (std::size_t i = 0; i < kCount; ++i)
            PyTuple_SET_ITEM(packed, i, values[i].release().ptr());
        nb::object args = nb::steal(PyTuple_Pack(1, packed));
        Py_DECREF(packed);
        if (!args.is_valid())
            throw nb::python_error();
        bar = PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject *>(feed.bar_type.ptr()), args.ptr(),
                                  nullptr);
    } else {
        PyObject *args[kCount];
        for (std::size_t i = 0; i < kCount; ++i)
            args[i] = values[i].ptr();
        bar = PyObject_Vectorcall(feed.bar_type.ptr(), args, kCount, nullptr);
    }
    if (!bar)
        throw nb::python_error();
    return nb::steal(bar);
}

/// The bars of every subscribed series that closed since the last poll, as (code, bar)
/// pairs in series order; None when there are none (the common tick).
nb::object poll(BarFeed &feed) {
    nb::object out;
    for (auto &s : feed.series) {
        if (!s->subscribed)
            continue;
        sync(feed, *s);
        const auto &closed = s->stream.closed();
        if (s->delivered >= closed.size())
            continue;
        if (!out.is_valid())
            out = nb::list();
        for (; s->delivered < closed.size(); ++s->delivered)
            nb::borrow<nb::list>(out).append(
                nb::make_tuple(s->code_obj, make_bar(feed, *s, closed[s->delivered])));
    }
    return out.is_valid() ? out : nb::none();
}

} // namespace

PyObject *poll_entry(PyObject *feed) {
    PyObject *out = nullptr;
    const int failed = native::run_entry([&] {
        if (!nb::isinstance<BarFeed>(feed))
            raise_arg_type("self", "BarFeed", feed);
        out = poll(*nb::inst_ptr<BarFeed>(feed)).release().ptr();
    });
    return failed ? nullptr : out;
}

namespace {

BarsView tail(BarFeed &feed, nb::handle code, nb::handle unit, nb::handle freq, nb::handle n) {
    require_int(n, "n", true);
    FeedSeries &s = series_of(feed, code, unit, freq);
    sync(feed, s);
    const auto &closed = s.stream.closed();
    const std::size_t total = closed.size() + (s.stream.forming_open() ? 1 : 0);
    std::size_t want = total;
    if (!n.is_none()) {
        const long long count = PyLong_AsLongLong(n.ptr());
        if (count == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (count < 0)
            throw nb::value_error("'n' must not be negative");
        want = std::min(total, static_cast<std::size_t>(count));
    }
    BarsView view{s.code, {}};
    view.bars.reserve(want);
    const std::size_t from_closed = want - (s.stream.forming_open() && want > 0 ? 1 : 0);
    view.bars.insert(view.bars.end(), closed.end() - static_cast<std::ptrdiff_t>(from_closed),
                     closed.end());
    if (want > from_closed)
        view.bars.push_back(s.stream.forming());
    return view;
}

template <typename T> nb::object numpy_column(std::vector<T> values) {
    auto *held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(held->data(), {held->size()}, owner),
                    nb::rv_policy::reference_internal);
}

template <typename T, typename Get> nb::object column_of(const BarsView &view, Get get) {
    std::vector<T> values(view.bars.size());
    std::transform(view.bars.begin(), view.bars.end(), values.begin(), get);
    return numpy_column(std::move(values));
}

nb::object column(const BarsView &view, std::string_view name) {
    if (name == "dt")
        return column_of<std::int64_t>(view, [](const core::quotes::Bar &b) { return b.dt; })
            .attr("view")("datetime64[us]");
    if (name == "code") {
        nb::list codes;
        for (std::size_t i = 0; i < view.bars.size(); ++i)
            codes.append(nb::str(view.code.data(), view.code.size()));
        return codes;
    }
    if (name == "Open")
        return column_of<double>(view, [](const core::quotes::Bar &b) { return b.open; });
    if (name == "High")
        return column_of<double>(view, [](const core::quotes::Bar &b) { return b.high; });
    if (name == "Low")
        return column_of<double>(view, [](const core::quotes::Bar &b) { return b.low; });
    if (name == "Close")
        return column_of<double>(view, [](const core::quotes::Bar &b) { return b.close; });
    if (name == "Volume")
        return column_of<std::int64_t>(view, [](const core::quotes::Bar &b) { return b.volume; });
    throw nb::key_error(std::string(name).c_str());
}

nb::object to_polars(const BarsView &view) {
    if (view.bars.empty())
        return empty_kbar_frame();
    core::quotes::TickStore codes;
    codes.code_id(view.code);
    return kbar_frame(view.bars, 0, view.bars.size(), codes);
}

void register_bars_view(nb::module_ &m) {
    nb::class_<BarsView> cls(m, "BarsView");
    cls.doc() = "The last K-bars of a series, oldest first: columns as numpy arrays.";
    cls.def("__len__", [](const BarsView &v) { return v.bars.size(); })
        .def_prop_ro("height", [](const BarsView &v) { return v.bars.size(); })
        .def(
            "__getitem__",
            [](const BarsView &v, nb::handle name) {
                require_str(name, "name");
                return column(v, text_value(name, "name"));
            },
            nb::arg("name").none(), nb::sig("def __getitem__(self, name: str, /) -> object"))
        .def("to_polars", &to_polars, nb::sig("def to_polars(self) -> polars.DataFrame"))
        .def("__repr__", [](const BarsView &v) {
            return "<BarsView " + v.code + ", " + std::to_string(v.bars.size()) + " bars>";
        });
    for (const char *name : {"dt", "Open", "High", "Low", "Close", "Volume"})
        cls.def_prop_ro(name, [name](const BarsView &v) { return column(v, name); });
    cls.attr("columns") = nb::make_tuple("dt", "code", "Open", "High", "Low", "Close", "Volume");
}

} // namespace

void bind_bar_feed(nb::module_ &m) {
    register_bars_view(m);
    nb::class_<BarFeed> cls(m, "BarFeed");
    cls.doc() = "K-bars followed from a QuoteManager's tick store as it grows.";
    cls.def(
        "__init__",
        [](BarFeed *feed, nb::handle quotes, nb::handle bar_type, bool packs_only) {
            if (packs_only && !(PyType_Check(bar_type.ptr()) &&
                                PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(bar_type.ptr()),
                                                 &PyTuple_Type)))
                throw nb::type_error("packs_only needs a tuple subclass as bar_type");
            new (feed) BarFeed(nb::borrow(quotes), nb::borrow(bar_type), packs_only);
        },
        nb::arg("quote_manager"), nb::arg("bar_type"), nb::kw_only(), nb::arg("packs_only") = false,
        nb::sig("def __init__(self, quote_manager: QuoteManager, bar_type: type, *, "
                "packs_only: bool = False) -> None"),
        "packs_only: bar_type is a tuple subclass whose constructor only packs its arguments "
        "(a NamedTuple without a __new__ of its own); bars are then made as "
        "tuple.__new__(bar_type, values), without calling it.");
    cls.def(
        "subscribe",
        [](BarFeed &feed, nb::handle code, nb::handle unit, nb::handle freq) {
            FeedSeries &s = series_of(feed, code, unit, freq);
            if (s.subscribed)
                return;
            // Events start with the bars that close from now on.
            sync(feed, s);
            s.delivered = s.stream.closed().size();
            s.subscribed = true;
        },
        nb::arg("code").none(), nb::arg("unit").none(), nb::arg("freq").none(),
        nb::sig("def subscribe(self, code: str, unit: str, freq: int) -> None"));
    cls.def("poll", &poll, nb::sig("def poll(self) -> list[tuple[str, object]] | None"));
    cls.def("tail", &tail, nb::arg("code").none(), nb::arg("unit").none(), nb::arg("freq").none(),
            nb::arg("n").none() = nb::none(),
            nb::sig("def tail(self, code: str, unit: str, freq: int, n: int | None = None) "
                    "-> BarsView"));
    cls.def_prop_ro("subscribed", [](const BarFeed &feed) {
        nb::list out;
        for (const auto &s : feed.series)
            if (s->subscribed)
                out.append(nb::make_tuple(s->code_obj, s->unit_obj, s->freq));
        return out;
    });
}

} // namespace quarvel::positions
