#pragma once
// Guarded blocks: run a step, and turn any error it raises into the Python exception a
// Python `except Exception as e` would see, so its text and traceback can be reported.
// GIL held.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "_core/error.hpp"
#include "_native/errors.hpp"
#include "_native/pyns.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

struct CaughtError {
    std::string text;      // str(e)
    std::string traceback; // the formatted traceback of e
};

namespace detail {

inline CaughtError caught(const nb::python_error &e) {
    return {native::error_text(e), native::error_traceback(e)};
}

} // namespace detail

/// Runs `step`; returns the error it raised, if any. Python errors that are not
/// `Exception`s (KeyboardInterrupt, SystemExit) pass through, as do C++ unwinds that are
/// not errors at all (thread cancellation at interpreter exit).
template <class Step> std::optional<CaughtError> run_guarded(Step &&step) {
    try {
        step();
        return std::nullopt;
    } catch (const nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return detail::caught(e);
    } catch (const nb::builtin_exception &e) {
        return detail::caught(native::as_python_error(e));
    } catch (const quarvel::core::Error &e) {
        return detail::caught(native::as_python_error(e));
    }
}

} // namespace quarvel::matcher
