// StoreLookup: a code's record and rows found once and kept while nothing on the way to them
// has changed. add_tick and the bar feed walk the same path on every tick (the QuoteManager's
// `ticks` attribute, the code's record, its two row parts): bench_replay replay_step_cpu.
#include "_native/attr_memo.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

namespace {

/// The value under `key` in the dict `record` when it is a TickRows, else null.
TickRows *rows_in(PyObject *record, nb::handle key, nb::object &owner) {
    PyObject *value = PyDict_GetItemWithError(record, key.ptr());
    if (!value) {
        PyErr_Clear();
        return nullptr;
    }
    if (!nb::isinstance<TickRows>(value))
        return nullptr;
    owner = nb::borrow(value);
    return nb::inst_ptr<TickRows>(value);
}

} // namespace

bool StoreLookup::holds(nb::handle self, nb::handle code_now) const {
    if (!valid)
        return false;
    if (!code.is(code_now) && !(PyUnicode_CheckExact(code_now.ptr()) &&
                                PyUnicode_Compare(code.ptr(), code_now.ptr()) == 0))
        return false;
    return native::object_stamp(self.ptr()) == owner &&
           native::dict_tag(ticks.ptr()) == ticks_tag &&
           native::dict_tag(record.ptr()) == record_tag;
}

void StoreLookup::remember(nb::handle self, nb::handle code_now) {
    *this = StoreLookup{};
    const QuoteKeys &keys = native::interned<QuoteKeys>();
    // Not where `ticks` may be computed on every read (a property, a __getattribute__).
    if (!PyUnicode_CheckExact(code_now.ptr()) || !native::plain_attribute(self.ptr(), keys.ticks))
        return;
    const native::ObjectStamp stamp = native::object_stamp(self.ptr());
    if (!stamp.valid || !stamp.dict)
        return;
    PyObject *store = PyDict_GetItemWithError(stamp.dict, keys.ticks.ptr());
    if (!store || !PyDict_CheckExact(store)) {
        PyErr_Clear();
        return;
    }
    PyObject *found = PyDict_GetItemWithError(store, code_now.ptr());
    if (!found || !PyDict_CheckExact(found)) {
        PyErr_Clear();
        return;
    }
    pending_rows = rows_in(found, keys.ticks, pending);
    if (!pending_rows)
        return;
    history_rows = rows_in(found, keys.old_ticks, history);
    owner = stamp;
    ticks = nb::borrow(store);
    code = nb::borrow(code_now);
    record = nb::borrow(found);
    ticks_tag = native::dict_tag(store);
    record_tag = native::dict_tag(found);
    valid = ticks_tag != 0 && record_tag != 0;
}

} // namespace quarvel::positions
