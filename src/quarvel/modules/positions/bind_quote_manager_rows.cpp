// Tick rows seen from Python: TickRows is a read-only sequence of row dicts over columnar
// storage (len, indexing, slicing, iteration, equality with a list). GIL held throughout.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <iterator>
#include <limits>

#include "_native/args.hpp"
#include "_native/private_api.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

/// Python objects of one row, built with the texts already made for the store.
class RowMaker {
  public:
    explicit RowMaker(const core::quotes::TickStore &rows) : rows_(rows) {}

    nb::dict operator()(std::size_t i) {
        const core::quotes::StoredTick r = rows_.row(i);
        return make_tick_row(keys_, py_datetime(r.dt), text(markets_, r.market, true),
                             text(codes_, r.code, false), nb::float_(r.close), nb::int_(r.qty),
                             nb::int_(r.tick_type), r.is_simulate, r.is_virtual);
    }

  private:
    nb::handle text(std::vector<nb::object> &made, std::uint32_t id, bool market) {
        while (made.size() <= id) {
            const std::string &s = market
                                       ? rows_.market_text(static_cast<std::uint32_t>(made.size()))
                                       : rows_.code_text(static_cast<std::uint32_t>(made.size()));
            made.push_back(nb::str(s.data(), s.size()));
        }
        return made[id];
    }

    const core::quotes::TickStore &rows_;
    const RowKeys &keys_ = native::interned<RowKeys>();
    std::vector<nb::object> markets_, codes_;
};

struct TickRowsIterator {
    nb::object owner;
    std::size_t next = 0;
};

std::size_t checked_index(const TickRows &self, Py_ssize_t index) {
    const auto size = static_cast<Py_ssize_t>(self.rows.size());
    if (index < 0)
        index += size;
    if (index < 0 || index >= size)
        throw nb::index_error("list index out of range");
    return static_cast<std::size_t>(index);
}

nb::object get_item(const TickRows &self, nb::handle index) {
    if (PySlice_Check(index.ptr())) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(index.ptr(), &start, &stop, &step) < 0)
            throw nb::python_error();
        const Py_ssize_t count =
            PySlice_AdjustIndices(static_cast<Py_ssize_t>(self.rows.size()), &start, &stop, step);
        nb::list out;
        RowMaker make(self.rows);
        for (Py_ssize_t k = 0; k < count; ++k)
            out.append(make(static_cast<std::size_t>(start + k * step)));
        return out;
    }
    if (!PyIndex_Check(index.ptr()))
        throw nb::type_error(("list indices must be integers or slices, not " +
                              std::string(Py_TYPE(index.ptr())->tp_name))
                                 .c_str());
    const Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred())
        throw nb::python_error();
    return RowMaker(self.rows)(checked_index(self, i));
}

/// self == other for a list, a tuple or another TickRows; NotImplemented otherwise.
nb::object equals(const TickRows &self, nb::handle other) {
    const bool is_rows = nb::isinstance<TickRows>(other);
    if (!is_rows && !PyList_Check(other.ptr()) && !PyTuple_Check(other.ptr()))
        return nb::borrow(Py_NotImplemented);
    if (static_cast<std::size_t>(nb::len(other)) != self.rows.size())
        return nb::bool_(false);
    RowMaker make(self.rows);
    for (std::size_t i = 0; i < self.rows.size(); ++i) {
        nb::object theirs = other[nb::int_(i)];
        const int same = PyObject_RichCompareBool(make(i).ptr(), theirs.ptr(), Py_EQ);
        if (same < 0)
            throw nb::python_error();
        if (!same)
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

/// One row dict read back into the store (rows a caller put in a plain list).
void push_row_dict(core::quotes::TickStore &rows, nb::handle item, const RowKeys &keys) {
    require_dict(item, "tick row");
    core::quotes::StoredTick r{};
    r.dt = local_micros(item[keys.dt], "tick row 'dt'");
    r.market = rows.market_id(text_value(item[keys.market_type], "tick row 'market_type'"));
    r.code = rows.code_id(text_value(item[keys.code], "tick row 'code'"));
    r.close = price_value(item[keys.close], "tick row 'close'");
    r.qty = qty_value(item[keys.qty], "tick row 'qty'");
    r.tick_type = tick_type_value(item[keys.tick_type], "tick row 'tick_type'");
    r.is_simulate = flag_value(item[keys.is_simulate], "tick row 'is_simulate'");
    r.is_virtual = flag_value(item[keys.is_virtual], "tick row 'is_virtual'");
    rows.push(r);
}

} // namespace

nb::dict make_tick_row(const RowKeys &keys, nb::handle dt, nb::handle market_type, nb::handle code,
                       nb::handle close, nb::handle qty, nb::handle tick_type, bool is_simulate,
                       bool is_virtual, nb::handle reuse, RowMemo *memo) {
    // One dict per stored tick. A row nobody else can reach (only the caller's reference and
    // its holder's; not tracked by the collector, so not listed by gc either) is filled
    // again in place, which no one can tell from a new dict.
    // Otherwise a copy of a dict of the eight keys copies its key table in one piece.
    static PyObject *const shape = [&keys] {
        // Filled key by key from empty: a table of str keys only, the compact kind that
        // later look-ups are quickest on (a presized dict takes the general kind).
        PyObject *made = PyDict_New(); // kept for the life of the process
        for (nb::handle key : {keys.dt, keys.market_type, keys.code, keys.close, keys.qty,
                               keys.tick_type, keys.is_simulate, keys.is_virtual})
            if (!made || PyDict_SetItem(made, key.ptr(), Py_None) < 0)
                throw nb::python_error();
        return made;
    }();
    const bool in_place = reuse.is_valid() && PyDict_CheckExact(reuse.ptr()) &&
                          Py_REFCNT(reuse.ptr()) == 2 && PyDict_GET_SIZE(reuse.ptr()) == 8 &&
                          !PyObject_GC_IsTracked(reuse.ptr());
    nb::dict row = in_place ? nb::borrow<nb::dict>(reuse) : nb::steal<nb::dict>(PyDict_Copy(shape));
    if (!row.is_valid())
        throw nb::python_error();
    const nb::handle order[] = {keys.dt,  keys.market_type, keys.code,        keys.close,
                                keys.qty, keys.tick_type,   keys.is_simulate, keys.is_virtual};
    PyObject *const values[] = {dt.ptr(),
                                market_type.ptr(),
                                code.ptr(),
                                close.ptr(),
                                qty.ptr(),
                                tick_type.ptr(),
                                is_simulate ? Py_True : Py_False,
                                is_virtual ? Py_True : Py_False};
    static_assert(std::size(values) == std::size(RowMemo{}.values));
    const bool remembered = in_place && memo && memo->holds(row.ptr());
    for (std::size_t i = 0; i < std::size(order); ++i)
        if ((!remembered || memo->values[i] != values[i]) &&
            PyDict_SetItem(row.ptr(), order[i].ptr(), values[i]) < 0)
            throw nb::python_error();
    if (in_place && PyDict_GET_SIZE(row.ptr()) != 8) // it had other keys: make a new one
        return make_tick_row(keys, dt, market_type, code, close, qty, tick_type, is_simulate,
                             is_virtual, nb::handle(), memo);
    if (memo) {
        memo->row = row.ptr();
        memo->tag = native::dict_tag(row.ptr());
        std::copy(std::begin(values), std::end(values), memo->values);
    }
    return row;
}

nb::object new_tick_rows() {
    return nb::cast(TickRows());
}

RowsRef rows_ref(nb::handle record, nb::handle key) {
    nb::object held = record[key];
    if (nb::isinstance<TickRows>(held))
        return {held, nb::inst_ptr<TickRows>(held)};
    nb::object fresh = new_tick_rows();
    TickRows *rows = nb::inst_ptr<TickRows>(fresh);
    const RowKeys &keys = native::interned<RowKeys>();
    for (nb::handle item : held)
        push_row_dict(rows->rows, item, keys);
    record[key] = fresh;
    return {fresh, rows};
}

double price_value(nb::handle value, const char *what) {
    PyObject *v = value.ptr();
    if (PyFloat_Check(v))
        return PyFloat_AS_DOUBLE(v);
    if (PyLong_Check(v) && !PyBool_Check(v)) {
        const double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return d;
    }
    raise_arg_type(what, "int or float", value);
}

std::int64_t qty_value(nb::handle value, const char *what) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        raise_arg_type(what, "int", value);
    const long long out = PyLong_AsLongLong(value.ptr());
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return out;
}

std::int8_t tick_type_value(nb::handle value, const char *what) {
    const std::int64_t out = qty_value(value, what);
    if (out < std::numeric_limits<std::int8_t>::min() ||
        out > std::numeric_limits<std::int8_t>::max())
        throw nb::value_error(
            (std::string(what) + " out of the Int8 range: " + std::to_string(out)).c_str());
    return static_cast<std::int8_t>(out);
}

bool flag_value(nb::handle value, const char *what) {
    if (!PyBool_Check(value.ptr()))
        raise_arg_type(what, "bool", value);
    return value.ptr() == Py_True;
}

std::string_view text_value(nb::handle value, const char *what) {
    if (!PyUnicode_Check(value.ptr()))
        raise_arg_type(what, "str", value);
    return utf8_view(value);
}

void register_tick_rows(nb::module_ &m) {
    nb::class_<TickRowsIterator>(m, "TickRowsIterator")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](TickRowsIterator &it) -> nb::object {
            const TickRows &rows = nb::cast<const TickRows &>(it.owner);
            if (it.next >= rows.rows.size())
                throw nb::stop_iteration();
            return RowMaker(rows.rows)(it.next++);
        });

    nb::class_<TickRows> cls(m, "TickRows");
    cls.doc() = "Read-only list of tick row dicts over columnar storage.";
    cls.def("__len__", [](const TickRows &self) { return self.rows.size(); })
        .def("__getitem__", &get_item, nb::arg("index"),
             nb::sig("def __getitem__(self, index: int | slice, /) -> dict | list[dict]"))
        .def(
            "__iter__", [](nb::handle self) { return TickRowsIterator{nb::borrow(self), 0}; },
            nb::sig("def __iter__(self) -> TickRowsIterator"))
        .def("__eq__", &equals, nb::arg("other").none(),
             nb::sig("def __eq__(self, other: object, /) -> bool"))
        .def(
            "__ne__",
            [](const TickRows &self, nb::handle other) -> nb::object {
                nb::object same = equals(self, other);
                if (same.is(nb::handle(Py_NotImplemented)))
                    return same;
                return nb::bool_(!nb::cast<bool>(same));
            },
            nb::arg("other").none(), nb::sig("def __ne__(self, other: object, /) -> bool"))
        .def("__repr__", [](nb::handle self) { return nb::repr(nb::list(self)); })
        // Copies and pickles are plain lists of row dicts, as the rows were in a list.
        .def(
            "__reduce__",
            [](nb::handle self) {
                nb::list rows(self);
                return nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyList_Type)),
                                      nb::make_tuple(rows));
            },
            nb::sig("def __reduce__(self) -> tuple"));
    cls.attr("__hash__") = nb::none();
    nb::module_::import_("collections.abc").attr("Sequence").attr("register")(cls);
}

} // namespace quarvel::positions
