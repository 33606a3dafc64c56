#pragma once
// Entry points and shared declarations of the ticker module's binding files.
// GIL held in every function declared here unless its comment says otherwise.
#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "_native/interned.hpp"
#include "core/handoff_queue.hpp"

namespace quarvel::ticker {
namespace nb = nanobind;

/// Name under which this extension module is imported (module-level names live there).
inline constexpr const char *kModule = "quarvel.modules.ticker.ticker";

/// The error text that marks a broker session that is not logged in.
inline constexpr const char *kNotLoggedIn = "永豐 API 尚未初始化, 請先登入永豐 API";

// clang-format off
#define QV_TICKER_KEYS(X)                                                                          \
    X(market_type) X(timestamp) X(code) X(close) X(qty) X(tick_type) X(is_simulate)              \
    X(is_backfilling) X(tick_queue) X(allow_next_tick_flag_queue)
// clang-format on

/// The interned keys of the tick dict and the queue attributes read per tick.
struct TickerKeys {
    QV_TICKER_KEYS(QV_INTERNED_KEY)
};

/// One playback (and its backfilling) as the producers see it.
struct Session {
    explicit Session(bool expects) : expects_backfilling(expects) {}
    core::ticker::PlaybackSession state;
    const bool expects_backfilling;
};
using SessionPtr = std::shared_ptr<Session>;

/// Native part of a Ticker: which playback is current, and which one each background
/// thread belongs to. The public state lives in the instance __dict__.
struct Ticker {
    Ticker();
    SessionPtr session;
    /// Thread object -> the playback it was started for (entries taken by the thread).
    std::unordered_map<PyObject *, std::pair<nb::object, SessionPtr>> thread_sessions;
    /// Serialises "is my playback still current? then put" against cancelling it.
    nb::object emit_lock;
};

Ticker &native_ticker(nb::handle self);

void bind_module_names(nb::module_ &m);
void bind_handoff_queue(nb::module_ &m);
void bind_ticker(nb::module_ &m);

// Method groups of Ticker, one binding file each.
void register_cache_methods(nb::class_<Ticker> &cls);
void register_combine_methods(nb::class_<Ticker> &cls);
void register_playback_methods(nb::class_<Ticker> &cls);

/// The (code, market) pairs of a code list, each code checked with
/// native::require_safe_code before any file or broker access starts.
std::vector<std::pair<nb::object, nb::object>> checked_code_list(nb::handle codes);
/// The table's columns and types, as a fresh dict (optionally with the `code` column).
nb::dict tick_schema(bool with_code);
/// Prints the error in red and logs the JSON error record with `data`.
void report_error(const std::string &red_prefix, const nb::python_error &error, nb::handle data);

} // namespace quarvel::ticker
