#pragma once
// The product-code argument of every operation that turns a code into a file name.
// GIL held.
#include <nanobind/nanobind.h>

#include <string_view>

#include "../_core/input_rules.hpp"
#include "args.hpp"
#include "errors.hpp"
#include "format.hpp"

namespace quarvel::native {

/// TypeError unless `code` is a str; ValueError "不合法的商品代碼: " + repr(code) unless it
/// names a plain file and is short enough (lone surrogates cannot name a file either).
inline void require_safe_code(nb::handle code, const char *arg = "code") {
    // Checked on every tick, and a tick's code is nearly always the last one's. A str cannot
    // change, and the one last found usable is held (a reference kept for the life of the
    // thread), so no other object can be at its address.
    thread_local PyObject *last_usable = nullptr;
    if (code.ptr() == last_usable)
        return;
    require_str(code, arg);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(code.ptr(), &size);
    if (!data)
        PyErr_Clear();
    if (!data ||
        !core::input_rules::is_usable_code(std::string_view(data, static_cast<size_t>(size))))
        raise_value_error(std::string(core::input_rules::kCodeLabel) + ": " + py_repr(code));
    PyObject *before = last_usable;
    last_usable = Py_NewRef(code.ptr());
    Py_XDECREF(before);
}

} // namespace quarvel::native
