// K-bars of QuoteManager: pending rows are handed to the history, then each cached series
// (code, unit, freq) merges the rows it has not seen yet; a series not cached yet is built
// from the whole history. GIL held throughout.
#include "_native/args.hpp"
#include "_native/pyns.hpp"
#include "quote_manager.hpp"

#include <algorithm>
#include <climits>
#include <optional>

namespace quarvel::positions {

using namespace native;

namespace {

// Merging the completed part into one chunk now and then keeps appends cheap and the
// table compact; the cost is spread over this many new buckets.
constexpr int kMaxChunks = 64;

const char *const kUnitError = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']";

/// Moves the pending rows of a record to its history; returns the history.
RowsRef hand_out(const QuoteManager &manager, nb::handle record) {
    RowsRef pending = rows_ref(record, manager.keys.ticks);
    RowsRef history = rows_ref(record, manager.keys.old_ticks);
    if (!pending.rows->rows.empty()) {
        history.rows->rows.append(pending.rows->rows);
        record[manager.keys.ticks] = new_tick_rows();
    }
    return history;
}

nb::object poped_tick_to_df(const QuoteManager &manager, nb::handle self, nb::handle code) {
    require_str(code, "code");
    nb::object record = find_item(self.attr("ticks"), code);
    if (!record.is_valid())
        return empty_tick_frame();
    RowsRef pending = rows_ref(record, manager.keys.ticks);
    if (pending.rows->rows.empty())
        return empty_tick_frame();
    hand_out(manager, record);
    return tick_frame(pending.rows->rows);
}

nb::object poped_old_ticks_to_df(const QuoteManager &manager, nb::handle self, nb::handle code) {
    require_str(code, "code");
    nb::object record = find_item(self.attr("ticks"), code);
    if (!record.is_valid())
        return empty_tick_frame();
    RowsRef history = rows_ref(record, manager.keys.old_ticks);
    if (history.rows->rows.empty())
        return empty_tick_frame();
    return tick_frame(history.rows->rows);
}

nb::object aggregate_kbar(nb::handle tick_df) {
    nb::object pl = module_attr(kModule, "pl");
    nb::object close = pl.attr("col")("close");
    nb::list aggs;
    aggs.append(close.attr("first")().attr("alias")("Open"));
    aggs.append(close.attr("max")().attr("alias")("High"));
    aggs.append(close.attr("min")().attr("alias")("Low"));
    aggs.append(close.attr("last")().attr("alias")("Close"));
    aggs.append(pl.attr("col")("qty").attr("sum")().attr("alias")("Volume"));
    nb::list keys;
    keys.append("kbar_time");
    keys.append("code");
    nb::dict rename;
    rename["kbar_time"] = "dt";
    return tick_df.attr("group_by")(keys).attr("agg")(aggs).attr("rename")(rename);
}

/// The bars of a table a caller put in the cache, read back into native form.
std::vector<core::quotes::Bar> bars_of_table(nb::handle table, core::quotes::TickStore &rows) {
    nb::object pl = module_attr(kModule, "pl");
    auto column = [&table](const char *name) {
        return nb::borrow<nb::list>(table[name].attr("to_list")());
    };
    nb::list dt = nb::borrow<nb::list>(table["dt"]
                                           .attr("cast")(pl.attr("Datetime")("us"))
                                           .attr("cast")(pl.attr("Int64"))
                                           .attr("to_list")());
    nb::list code = column("code"), open = column("Open"), high = column("High"),
             low = column("Low"), close = column("Close"), volume = column("Volume");
    std::vector<core::quotes::Bar> bars;
    for (std::size_t i = 0; i < dt.size(); ++i)
        bars.push_back({nb::cast<std::int64_t>(dt[i]),
                        rows.code_id(text_value(code[i], "cached K-bar 'code'")),
                        nb::cast<double>(open[i]), nb::cast<double>(high[i]),
                        nb::cast<double>(low[i]), nb::cast<double>(close[i]),
                        nb::cast<std::int64_t>(volume[i])});
    std::stable_sort(
        bars.begin(), bars.end(),
        [](const core::quotes::Bar &a, const core::quotes::Bar &b) { return a.dt < b.dt; });
    return bars;
}

/// A series whose state starts from `bars` (sorted) with the history read up to `position`.
KbarSeries make_series(std::string code, std::string unit, std::int64_t freq,
                       const core::quotes::BarWidth &width, std::size_t position,
                       const std::vector<core::quotes::Bar> &bars,
                       const core::quotes::TickStore &rows, nb::object table) {
    const std::size_t tail = core::quotes::tail_start(bars);
    std::vector<core::quotes::Bar> last(bars.begin() + static_cast<std::ptrdiff_t>(tail),
                                        bars.end());
    nb::object completed = kbar_frame(bars, 0, tail, rows);
    return {std::move(code),
            std::move(unit),
            freq,
            core::quotes::IncrementalBars(width, position, std::move(last)),
            std::move(table),
            std::move(completed),
            1,
            OpenBarColumns{},
            nb::object(),
            core::quotes::Bar{}};
}

/// The table of a series after merging the rows it has not seen; the cached table itself
/// when no row was new.
nb::object update_series(KbarSeries &series, const core::quotes::TickStore &rows) {
    core::quotes::IncrementalBars::Merge merge = series.bars.merge(rows);
    if (!merge.had_rows)
        return series.cached;
    if (!merge.completed.empty()) {
        // Called after every tick, the bar that just closed is the one already handed out.
        const bool unchanged = merge.completed.size() == 1 && series.last_frame.is_valid() &&
                               merge.completed.front() == series.last_bar;
        // One closed bar (a caller asking once per bar) reuses the open bar's cached
        // columns: same start, code and open, so no column is built through polars' Python.
        nb::object closed = unchanged ? series.last_frame
                            : merge.completed.size() == 1
                                ? one_bar_frame(merge.completed.front(), rows, series.open_bar)
                                : kbar_frame(merge.completed, 0, merge.completed.size(), rows);
        series.completed = series.completed.attr("vstack")(closed);
        if (++series.chunks > kMaxChunks) {
            series.completed = series.completed.attr("rechunk")();
            series.chunks = 1;
        }
    }
    const auto &tail = series.bars.tail();
    nb::object last;
    if (tail.size() == 1) {
        last = one_bar_frame(tail.front(), rows, series.open_bar);
        series.last_frame = last;
        series.last_bar = tail.front();
    } else {
        last = kbar_frame(tail, 0, tail.size(), rows);
        series.last_frame = nb::object();
    }
    return series.completed.attr("vstack")(last);
}

nb::object get_kbar(nb::pointer_and_handle<QuoteManager> self, nb::handle code, nb::handle unit,
                    nb::handle freq, nb::handle exprs, nb::handle to_pandas_df) {
    require_str(code, "code");
    require_int(freq, "freq");
    require_list(exprs, "exprs");
    std::optional<core::quotes::BarUnit> bar_unit;
    if (PyUnicode_Check(unit.ptr()))
        bar_unit = core::quotes::parse_bar_unit(text_value(unit, "unit"));
    if (!bar_unit)
        throw nb::type_error(kUnitError);
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred())
        throw nb::python_error();
    // A width that cannot be used is refused before any row moves.
    const core::quotes::BarWidth width = core::quotes::make_bar_width(
        *bar_unit, overflow > 0 ? INT64_MAX : (overflow < 0 ? INT64_MIN : count));
    const int pandas = PyObject_IsTrue(to_pandas_df.ptr());
    if (pandas < 0)
        throw nb::python_error();
    auto finish = [pandas](nb::object df) { return pandas ? df.attr("to_pandas")() : df; };
    const QuoteManager &manager = *self.p;

    nb::object record = find_item(self.h.attr(manager.keys.ticks), code);
    if (!record.is_valid())
        return finish(empty_kbar_frame());
    const std::size_t moved = rows_ref(record, manager.keys.ticks).rows->rows.size();
    RowsRef history = hand_out(manager, record);
    TickRows &store = *history.rows;
    const std::size_t handed_out = store.rows.size();

    nb::object cache = record[manager.keys.cached_kbars];
    nb::object key = nb::make_tuple(code, unit, freq);
    nb::object cached = find_item(cache, key);
    const std::string code_text(text_value(code, "code")), unit_text(text_value(unit, "unit"));
    auto found = std::find_if(store.series.begin(), store.series.end(), [&](const KbarSeries &s) {
        return s.freq == count && s.code == code_text && s.unit == unit_text;
    });

    nb::object table;
    if (!cached.is_valid()) {
        const std::vector<core::quotes::Bar> bars =
            core::quotes::aggregate_rows(store.rows, 0, handed_out, width);
        if (bars.empty())
            return finish(empty_kbar_frame());
        table = kbar_frame(bars, 0, bars.size(), store.rows);
        KbarSeries fresh =
            make_series(code_text, unit_text, count, width, handed_out, bars, store.rows, table);
        if (found != store.series.end())
            *found = std::move(fresh);
        else
            found = store.series.insert(store.series.end(), std::move(fresh));
    } else {
        if (found == store.series.end() || !found->cached.is(cached)) {
            // A table this store did not make: start from it. A series met for the first
            // time reads only the rows handed out by this call.
            const std::size_t position =
                found != store.series.end() ? found->bars.position() : handed_out - moved;
            KbarSeries adopted = make_series(code_text, unit_text, count, width, position,
                                             bars_of_table(cached, store.rows), store.rows, cached);
            if (found != store.series.end())
                *found = std::move(adopted);
            else
                found = store.series.insert(store.series.end(), std::move(adopted));
        }
        table = update_series(*found, store.rows);
    }
    if (!table.is(cached))
        cache[key] = table;
    found->cached = table;
    if (nb::len(exprs) > 0)
        table = table.attr("with_columns")(exprs);
    return finish(table);
}

} // namespace

void register_kbar_methods(nb::class_<QuoteManager> &cls) {
    cls.def(
        "poped_tick_to_df",
        [](nb::pointer_and_handle<QuoteManager> self, nb::handle code) {
            return poped_tick_to_df(*self.p, self.h, code);
        },
        nb::arg("code").none(),
        nb::sig("def poped_tick_to_df(self, code: str) -> polars.DataFrame"));
    cls.def(
        "poped_old_ticks_to_df",
        [](nb::pointer_and_handle<QuoteManager> self, nb::handle code) {
            return poped_old_ticks_to_df(*self.p, self.h, code);
        },
        nb::arg("code").none(),
        nb::sig("def poped_old_ticks_to_df(self, code: str) -> polars.DataFrame"));
    cls.def(
        "aggregate_kbar", [](nb::handle, nb::handle tick_df) { return aggregate_kbar(tick_df); },
        nb::arg("tick_df").none(),
        nb::sig("def aggregate_kbar(self, tick_df: polars.DataFrame) -> polars.DataFrame"));
    cls.def("get_kbar", &get_kbar, nb::arg("code").none(), nb::arg("unit").none(),
            nb::arg("freq").none(), nb::arg("exprs").none() = nb::list(),
            nb::arg("to_pandas_df").none() = false,
            nb::sig("def get_kbar(self, code: str, unit: Literal['m', 'h', 'd', 'w', 'mo', 'q', "
                    "'y'], freq: int, exprs: List[pl.Expr] = [], to_pandas_df: bool = False) "
                    "-> polars.DataFrame | pandas.DataFrame"));
}

} // namespace quarvel::positions
