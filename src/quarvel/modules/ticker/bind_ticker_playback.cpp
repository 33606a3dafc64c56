// Paced playback: send_ticks, the playback and backfilling threads, and the consumer's
// pop_tick / allow_next_tick / stop_send_ticks.
#include <cstdio>
#include <string>

#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/finalizing.hpp"
#include "_native/format.hpp"
#include "_native/lock.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "bindings.hpp"
#include "playback_ports.hpp"

namespace quarvel::ticker {

using namespace native;

namespace {

constexpr const char *kEmptyBackfillingRange = "回補資料的開始時間與結束時間不能為空";

bool is_nonempty_str(nb::handle value) {
    return !value.is_none() && nb::len(value) > 0;
}

/// The playback a background thread was started for; the current one for other callers.
SessionPtr session_of_current_thread(nb::handle self) {
    Ticker &ticker = native_ticker(self);
    nb::object thread = module_attr(kModule, "threading").attr("current_thread")();
    auto found = ticker.thread_sessions.find(thread.ptr());
    if (found == ticker.thread_sessions.end())
        return ticker.session;
    SessionPtr session = found->second.second;
    ticker.thread_sessions.erase(found);
    return session;
}

void start_daemon_thread(nb::handle self, nb::handle target, nb::tuple args,
                         const SessionPtr &session) {
    nb::object thread =
        module_attr(kModule, "threading")
            .attr("Thread")(nb::arg("target").none() = target, nb::arg("args").none() = args,
                            nb::arg("daemon").none() = true);
    native_ticker(self).thread_sessions[thread.ptr()] = {thread, session};
    thread.attr("start")();
}

/// Empties a queue in place (it stays the same object).
void drain(nb::handle queue) {
    if (is_native_queue(queue)) {
        auto &native = nb::cast<PyHandoffQueue &>(queue).native();
        while (auto item = native.try_get())
            PyHandoffQueue::discard(*item);
        return;
    }
    nb::object empty = module_attr(kModule, "queue").attr("Empty");
    for (;;) {
        try {
            queue.attr("get_nowait")();
        } catch (nb::python_error &e) {
            if (!e.matches(empty))
                throw;
            return;
        }
    }
}

/// Ends the stream of `session`: the flag first, then the marker (the consumer's side relies
/// on that order). Nothing happens when the session is no longer current.
void finish_stream(nb::handle self, const Session &session, bool set_flag) {
    Ticker &ticker = native_ticker(self);
    RLockGuard guard(ticker.emit_lock);
    if (session.state.cancelled())
        return;
    if (set_flag)
        self.attr("exit_send_thread_flag") = true;
    put_marker(ticker, session, self.attr("tick_queue"), core::ticker::ItemKind::EndOfStream);
}

void notify_backfilling_finish(nb::handle self, const Session &session) {
    Ticker &ticker = native_ticker(self);
    RLockGuard guard(ticker.emit_lock);
    if (session.state.cancelled())
        return;
    self.attr("backfilling_finish_flag") = true;
    put_marker(ticker, session, self.attr("backfilling_notify_finish_queue"),
               core::ticker::ItemKind::EndOfBackfilling);
}

std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

double now_seconds() {
    return nb::cast<double>(module_attr(kModule, "time").attr("time")());
}

void push_tick_to_queue(nb::handle self, nb::handle df) {
    SessionPtr session = session_of_current_thread(self);
    double start_time = now_seconds();
    std::size_t rows = 0;
    auto fail = [&](const nb::python_error &error) {
        nb::dict data;
        data["rows"] = rows;
        report_error("傳送 Tick 資料失敗, 錯誤訊息: ", error, data);
        finish_stream(self, *session, true);
    };
    try {
        rows = nb::cast<std::size_t>(df.attr("height"));
        // An empty range ends at once unless a backfilling of this playback is running;
        // only then do its ticks come before the end (a fresh Ticker has none).
        bool await_backfilling =
            session->expects_backfilling ||
            (rows > 0 && !nb::cast<bool>(self.attr("backfilling_finish_flag")));
        ShutdownSafe<PlayedTable> columns(read_played_table(df));
        core::ticker::PlaybackOutcome outcome =
            play_range(self, session, {*columns, false, await_backfilling});
        columns.reset();
        if (rows == 0 && outcome.end == core::ticker::PlaybackEnd::Exhausted) {
            finish_stream(self, *session, false);
            console_print(kModule, "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]");
            return;
        }
        if (outcome.end == core::ticker::PlaybackEnd::Exhausted)
            finish_stream(self, *session, true);
        console_print(kModule, "[green]傳送 Tick 資料結束, 需傳送資料共 " +
                                   py_int(static_cast<long long>(rows)) + " 筆, 已傳送 " +
                                   py_int(static_cast<long long>(outcome.sent)) + " 筆, 耗時 " +
                                   seconds_text(now_seconds() - start_time) + " 秒[/green]");
    } catch (nb::python_error &e) {
        fail(e);
    } catch (const std::exception &e) {
        fail(as_python_error(e));
    }
}

void backfilling(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to) {
    require_list(codes, "codes");
    require_str(start_from, "start_from", true);
    require_str(end_to, "end_to", true);
    SessionPtr session = session_of_current_thread(self);
    if (!is_nonempty_str(start_from) || !is_nonempty_str(end_to)) {
        notify_backfilling_finish(self, *session);
        raise_value_error(kEmptyBackfillingRange);
    }
    if (!session->state.cancelled()) {
        nb::object params = self.attr("current_send_ticks_params");
        params["backfilling_start_from"] = start_from;
        params["backfilling_end_to"] = end_to;
    }
    auto fail = [&](const nb::python_error &error) {
        console_print(kModule,
                      "[red]回補 Tick 資料失敗, 錯誤訊息: " + error_text(error) + "[/red]");
        notify_backfilling_finish(self, *session);
    };
    try {
        checked_code_list(codes);
        nb::object df =
            self.attr(QV_PRIVATE(Ticker, process_and_combine_ticks))(codes, start_from, end_to);
        std::size_t rows = nb::cast<std::size_t>(df.attr("height"));
        console_print(kModule, "[green]開始回補 Tick 資料, Tick 數 " +
                                   py_int(static_cast<long long>(rows)) + ". ...[/green]");
        ShutdownSafe<PlayedTable> columns(read_played_table(df));
        play_range(self, session, {*columns, true, false});
        columns.reset();
    } catch (nb::python_error &e) {
        fail(e);
        throw;
    } catch (const std::exception &e) {
        nb::python_error error = as_python_error(e);
        fail(error);
        throw error;
    }
    notify_backfilling_finish(self, *session);
}

void send_ticks(nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to,
                nb::handle backfilling_start_from, nb::handle backfilling_end_to) {
    require_list(codes, "codes");
    require_str(start_from, "start_from");
    require_str(end_to, "end_to");
    require_str(backfilling_start_from, "backfilling_start_from", true);
    require_str(backfilling_end_to, "backfilling_end_to", true);
    checked_code_list(codes);
    Ticker &ticker = native_ticker(self);

    nb::dict params;
    params["codes"] = codes;
    params["start_from"] = start_from;
    params["end_to"] = end_to;
    self.attr("current_send_ticks_params") = params;
    bool with_backfilling =
        is_nonempty_str(backfilling_start_from) || is_nonempty_str(backfilling_end_to);
    // The previous playback's threads put nothing more from here on.
    cancel_session(self, ticker);
    SessionPtr session = std::make_shared<Session>(with_backfilling);
    ticker.session = session;
    self.attr("exit_send_thread_flag") = false;
    drain(self.attr("tick_queue"));
    drain(self.attr("backfilling_notify_finish_queue"));
    // Every playback starts with exactly one token, whatever the last one left behind.
    nb::object tokens = self.attr("allow_next_tick_flag_queue");
    drain(tokens);
    tokens.attr("put")(true);
    self.attr("backfilling_finish_flag") = false;

    if (with_backfilling)
        start_daemon_thread(self, self.attr("backfilling"),
                            nb::make_tuple(codes, backfilling_start_from, backfilling_end_to),
                            session);
    else
        self.attr("backfilling_finish_flag") = true;

    nb::object all_df =
        self.attr(QV_PRIVATE(Ticker, process_and_combine_ticks))(codes, start_from, end_to);
    console_print(kModule, "[green]開始傳送 Tick 資料, Tick 數 " + py_str(all_df.attr("height")) +
                               ". ...[/green]");
    start_daemon_thread(self, self.attr(QV_PRIVATE(Ticker, push_tick_to_queue)),
                        nb::make_tuple(all_df), session);
}

nb::object pop_tick(Ticker &, nb::handle self) {
    nb::object queue = self.attr(interned<TickerKeys>().tick_queue);
    if (is_native_queue(queue))
        return nb::cast<PyHandoffQueue &>(queue).get(true, nb::none());
    // Wait in slices so that Ctrl-C reaches the caller as KeyboardInterrupt.
    nb::object empty = module_attr(kModule, "queue").attr("Empty");
    for (;;) {
        try {
            return queue.attr("get")(nb::arg("timeout") = 0.05);
        } catch (nb::python_error &e) {
            if (!e.matches(empty))
                throw;
        }
        if (PyErr_CheckSignals() != 0)
            throw nb::python_error();
    }
}

void allow_next_tick(Ticker &, nb::handle self) {
    nb::object queue = self.attr(interned<TickerKeys>().allow_next_tick_flag_queue);
    if (is_native_queue(queue))
        nb::cast<PyHandoffQueue &>(queue).native().put({core::ticker::ItemKind::Token, 0, {}});
    else
        queue.attr("put")(true);
}

void stop_send_ticks(nb::handle self) {
    self.attr("exit_send_thread_flag") = true;
    cancel_session(self, native_ticker(self));
    nb::object queue = self.attr("tick_queue");
    if (is_native_queue(queue))
        nb::cast<PyHandoffQueue &>(queue).native().put(
            {core::ticker::ItemKind::EndOfStream, 0, {}});
    else
        queue.attr("put")(make_status_marker("exit_send_tick"));
}

} // namespace

void register_playback_methods(nb::class_<Ticker> &cls) {
    cls.def("send_ticks", &send_ticks, nb::arg("codes").none(), nb::arg("start_from").none(),
            nb::arg("end_to").none(), nb::arg("backfilling_start_from").none() = nb::none(),
            nb::arg("backfilling_end_to").none() = nb::none(),
            nb::sig("def send_ticks(self, codes: list, start_from: str, end_to: str, "
                    "backfilling_start_from: str | None = None, "
                    "backfilling_end_to: str | None = None) -> None"));
    cls.def(
        "backfilling",
        [](nb::handle self, nb::handle codes, nb::handle start_from, nb::handle end_to) {
            run_thread_body([&] { backfilling(self, codes, start_from, end_to); });
        },
        nb::arg("codes").none(), nb::arg("start_from").none() = nb::none(),
        nb::arg("end_to").none() = nb::none(),
        nb::sig("def backfilling(self, codes: list, start_from: str | None = None, "
                "end_to: str | None = None) -> None"));
    cls.def(
        "pop_tick", [](Ticker &ticker) { return pop_tick(ticker, nb::find(&ticker)); },
        nb::sig("def pop_tick(self) -> dict"));
    cls.def(
        "allow_next_tick", [](Ticker &ticker) { allow_next_tick(ticker, nb::find(&ticker)); },
        nb::sig("def allow_next_tick(self) -> None"));
    cls.def("stop_send_ticks", &stop_send_ticks, nb::sig("def stop_send_ticks(self) -> None"));
    cls.def(
        QV_PRIVATE(Ticker, push_tick_to_queue),
        [](nb::handle self, nb::handle df) {
            run_thread_body([&] { push_tick_to_queue(self, df); });
        },
        nb::arg("df").none(),
        nb::sig("def _Ticker__push_tick_to_queue(self, df: polars.DataFrame) -> None"));
    cls.def(
        QV_PRIVATE(Ticker, notify_backfilling_finish),
        [](nb::handle self) { notify_backfilling_finish(self, *native_ticker(self).session); },
        nb::sig("def _Ticker__notify_backfilling_finish(self) -> None"));
}

} // namespace quarvel::ticker
