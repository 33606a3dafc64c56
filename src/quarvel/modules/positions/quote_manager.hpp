#pragma once
// Shared declarations of the QuoteManager binding files. GIL held in everything below.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "_native/attr_memo.hpp"
#include "_native/interned.hpp"
#include "_native/replay_entries.hpp"
#include "bindings.hpp"
#include "core/kbar_builder.hpp"
#include "core/tick_columns.hpp"

namespace quarvel::positions {

// clang-format off
#define QV_TICK_ROW_KEYS(X)                                                                        \
    X(dt) X(market_type) X(code) X(close) X(qty) X(tick_type) X(is_simulate) X(is_virtual)
#define QV_QUOTE_KEYS(X)                                                                           \
    X(timestamp) X(ticks) X(old_ticks) X(last_tick) X(cached_kbars) X(not_trade_times)            \
    X(holiday_search_set)
// clang-format on

/// Keys of a tick row dict, in the row's key order.
struct RowKeys {
    QV_TICK_ROW_KEYS(QV_INTERNED_KEY)
};

/// Every interned key the store reads and writes per tick (see _native/interned.hpp).
struct QuoteKeys {
    QV_QUOTE_KEYS(QV_INTERNED_KEY)
    const RowKeys &row = native::interned<RowKeys>();
};

/// The non-trading windows last read for one market type, and the very objects they were
/// read from: while the same objects sit in the same places the windows still hold.
struct WindowsMemo {
    nb::object table, market_type, pairs;
    std::vector<nb::object> items; // per window: the pair, its start and its end
    std::vector<core::quotes::TimeWindow> windows;
};

struct TickRows;

/// The row add_tick last filled, its version tag just after, and the values it put there
/// (borrowed: the row holds them while the tag is unchanged). When the same row is refilled
/// in place and nobody has changed it since, only the values that differ are set: most of
/// them (code, market, flags, often the second and the price) stay.
struct RowMemo {
    PyObject *row = nullptr; // compared only
    std::uint64_t tag = 0;
    PyObject *values[8] = {};

    /// Whether `dict` is that row, unchanged since it was filled.
    bool holds(PyObject *dict) const {
        return dict == row && tag != 0 && native::dict_tag(dict) == tag;
    }
};

/// One code's record in a QuoteManager's store and the rows in it, as last looked up: the
/// same while the QuoteManager's attributes, its `ticks` dict and the record dict are
/// unchanged (their version tags), so each tick's look-ups are made again only after a
/// change. Never valid where `ticks` may be computed on every read or where the tags cannot
/// be read.
struct StoreLookup {
    bool valid = false;
    native::ObjectStamp owner;
    std::uint64_t ticks_tag = 0, record_tag = 0;
    nb::object ticks, code, record, pending, history;          // held: the pointers stay valid
    TickRows *pending_rows = nullptr, *history_rows = nullptr; // history: null if not rows

    /// Whether this still describes `code`'s record in `self`'s store.
    bool holds(nb::handle self, nb::handle code) const;
    /// Looks `code`'s record up in `self`'s store and keeps what it found.
    void remember(nb::handle self, nb::handle code);
};

/// The native part of QuoteManager: only the interned keys add_tick reads and writes and
/// the windows last read; the store itself lives in the instance __dict__.
struct QuoteManager {
    const QuoteKeys &keys = native::interned<QuoteKeys>();
    std::vector<WindowsMemo> windows_memo;
    std::vector<core::quotes::TimeWindow> windows_read; // windows read without a memo
    StoreLookup last_stored;                            // the record add_tick last stored in
    // The `dt` of the row stored last and its value: ticks come several to a second (three
    // in four on the real TXFR1 days), so the next row mostly shares it, and a row's `dt`
    // read back is mostly this very object.
    nb::object last_dt;
    core::quotes::LocalMicros last_dt_micros = 0;
    native::AttrMemo trade_times; // not_trade_times
    RowMemo last_row;
};

/// The columns of a one-bar table that stay the same while its bucket is open: making
/// polars columns costs more than anything else on the per-tick path.
struct OpenBarColumns {
    bool valid = false;
    core::quotes::LocalMicros dt = 0;
    std::uint32_t code = 0;
    double open = 0;
    nb::object dt_column, code_column, open_column;
};

/// One cached K-bar series of a code: the key it is cached under, how far it has read the
/// history, its last bucket, and the tables it handed out.
struct KbarSeries {
    std::string code, unit;
    std::int64_t freq;
    core::quotes::IncrementalBars bars;
    nb::object cached;    // the table stored in cached_kbars; another object there wins
    nb::object completed; // the table of the bars before the last bucket
    int chunks = 1;       // chunks of `completed`, merged now and then
    OpenBarColumns open_bar;
    nb::object last_frame;        // the one-bar table of the last bucket as last handed out
    core::quotes::Bar last_bar{}; // the bar in `last_frame`
};

/// Tick rows of one code in columnar form, seen from Python as a read-only list of row
/// dicts. The history of a code also keeps the state of the code's cached K-bar series.
struct TickRows {
    core::quotes::TickStore rows;
    std::vector<KbarSeries> series;
};

// Date-times (bind_quote_manager_times.cpp).
nb::object py_datetime(core::quotes::LocalMicros t);
nb::object py_time(int hour, int minute, int second);
/// Naive date-time `value` in microseconds; TypeError naming `what` for another type.
core::quotes::LocalMicros local_micros(nb::handle value, const char *what);
/// Time of day `value` (datetime.time) in microseconds; TypeError naming `what` otherwise.
std::int64_t time_micros(nb::handle value, const char *what);
/// datetime.fromtimestamp(value) in microseconds (errors are the ones it raises).
core::quotes::LocalMicros local_from_timestamp(nb::handle value);

/// QuoteManager.add_tick as a replay entry (see _native/replay_entries.hpp).
int add_tick_entry(PyObject *self, const native::ReplayTick &tick);

// Row dicts and the row views (bind_quote_manager_rows.cpp).
/// `reuse`: the row it replaces, filled again in place when only its holder and the
/// caller refer to it.
nb::dict make_tick_row(const RowKeys &keys, nb::handle dt, nb::handle market_type, nb::handle code,
                       nb::handle close, nb::handle qty, nb::handle tick_type, bool is_simulate,
                       bool is_virtual, nb::handle reuse = nb::handle(), RowMemo *memo = nullptr);
nb::object new_tick_rows();
void register_tick_rows(nb::module_ &m);

// Tables (bind_quote_manager_frames.cpp).
nb::object empty_tick_frame();
nb::object empty_kbar_frame();
/// The tick table of `rows`, sorted by dt keeping the order of equal times.
nb::object tick_frame(const core::quotes::TickStore &rows);
/// The K-bar table of bars [begin, end); codes index `rows`' code table.
nb::object kbar_frame(const std::vector<core::quotes::Bar> &bars, std::size_t begin,
                      std::size_t end, const core::quotes::TickStore &rows);
/// The K-bar table of one bar, reusing the columns in `reuse` that still hold.
nb::object one_bar_frame(const core::quotes::Bar &bar, const core::quotes::TickStore &rows,
                         OpenBarColumns &reuse);

/// The bucket width of get_kbar's (unit, freq); TypeError or the width's own error when
/// they cannot be used (bind_bar_feed.cpp).
core::quotes::BarWidth kbar_width(nb::handle unit, nb::handle freq);

// Methods (one file each).
void register_store_methods(nb::class_<QuoteManager> &cls);
void register_kbar_methods(nb::class_<QuoteManager> &cls);

} // namespace quarvel::positions

namespace quarvel::positions {

/// A ticks-info record's rows and the object that owns them.
struct RowsRef {
    nb::object owner;
    TickRows *rows;
};
RowsRef rows_ref(nb::handle record, nb::handle key);

// Checked values of a tick or a row; `what` names the value in the TypeError.
double price_value(nb::handle value, const char *what);
std::int64_t qty_value(nb::handle value, const char *what);
std::int8_t tick_type_value(nb::handle value, const char *what);
bool flag_value(nb::handle value, const char *what);
/// The UTF-8 text of an exact str, valid while `value` lives.
std::string_view text_value(nb::handle value, const char *what);

} // namespace quarvel::positions

namespace quarvel::positions {

/// A new ticks-info record: pending rows, history, last tick and K-bar cache.
nb::dict make_ticks_info(const QuoteManager &manager);

/// mapping[key] when present (a dict or any mapping a caller put there); null otherwise.
nb::object find_item(nb::handle mapping, nb::handle key);

} // namespace quarvel::positions
