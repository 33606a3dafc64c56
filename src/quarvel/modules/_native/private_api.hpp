#pragma once
// Every use of CPython's private API, each in one function: what it buys (the bench/ figure
// that shows it) and the public call it falls back to. A new Python release may drop or
// change any of them; the fallback then keeps the behaviour and only costs speed.
// QUARVEL_PUBLIC_API=1 in the environment (read once) forces the fallbacks, so the tests
// can run them too. polars' native constructors are the fifth such shortcut; see
// `polars_native()` in positions/bind_quote_manager_frames.cpp. GIL held in everything below.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quarvel::native {
namespace nb = nanobind;

/// QUARVEL_PUBLIC_API=1 at module load asks for the public API only. Read once when the
/// module is loaded, so the hot paths test a plain flag, not a guarded static per call.
inline const bool kPublicApiOnly = [] {
    const char *value = std::getenv("QUARVEL_PUBLIC_API");
    return value && std::strcmp(value, "1") == 0;
}();

/// Whether the public API alone is to be used.
inline bool public_api_only() {
    return kPublicApiOnly;
}

/// A new dict with room for `keys` entries, so a record built key by key never resizes.
/// `_PyDict_NewPresized` (the ledger's and the matcher's per-deal records; it once served
/// the tick rows: bench_quote_manager (a) add_tick 0.84 us CPU per tick, 0.88 on the
/// fallback); fallback PyDict_New. Such a dict has the general key table: per-tick dicts
/// read often are better filled from empty (a table of str keys only).
inline nb::dict presized_dict(Py_ssize_t keys) {
    PyObject *dict = public_api_only() ? PyDict_New() : _PyDict_NewPresized(keys);
    if (!dict)
        throw nb::python_error();
    return nb::steal<nb::dict>(dict);
}

/// `type`'s attribute `name` as found along its MRO, or null. `_PyType_Lookup` reads the
/// MRO dicts without running the metaclass's attribute hooks (an enum's metaclass has
/// some), which the flat record copy pays for every deal (bench_ledger set_positions with
/// enum fields: 15.9 us per pair, 16.6 on the fallback); fallback getattr(type, name).
inline nb::object type_attribute(PyTypeObject *type, nb::handle name) {
    if (!public_api_only())
        return nb::borrow(_PyType_Lookup(type, name.ptr()));
    PyObject *value = PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(value);
}

/// hash(text) for an exact str. Reading the hash the str caches in itself
/// (`PyASCIIObject::hash`) skips a call per comparison in the matcher's code scan
/// (bench_matcher (a), 100 orders resting elsewhere: 1.27 us per call, 1.49 on the
/// fallback); fallback PyObject_Hash, which also caches it.
inline Py_hash_t str_hash(PyObject *text) {
    if (!public_api_only()) {
        Py_hash_t cached = reinterpret_cast<PyASCIIObject *>(text)->hash;
        if (cached != -1)
            return cached;
    }
    Py_hash_t computed = PyObject_Hash(text);
    if (computed == -1)
        throw nb::python_error();
    return computed;
}

/// The instance dict of `obj` as it stands: null when none was made yet. Reading the dict
/// slot in place (`_PyObject_GetDictPtr`) serves the ledger's look-up of the installed market
/// rules, made several times per deal (bench_ledger _Positions__calculate_trade_cost:
/// 0.68 us per call, 0.73 on the fallback); fallback PyObject_GenericGetDict,
/// which makes the dict when missing.
inline nb::object existing_instance_dict(nb::handle obj) {
    if (!public_api_only()) {
        PyObject *const *slot = _PyObject_GetDictPtr(obj.ptr());
        if (slot)
            return nb::borrow(*slot);
    }
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict)
        throw nb::python_error();
    return nb::steal(dict);
}

/// `obj`'s instance dict as its slot holds it (null when it has none), read in place with
/// `_PyObject_GetDictPtr`; only behind public_api_only() (its callers say what for).
inline PyObject *dict_in_slot(PyObject *obj) {
    PyObject *const *slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
}

/// Whether `obj` has `name` in its own instance dict (false when it has none). Reading the
/// dict slot in place (`_PyObject_GetDictPtr`) is what the replay step asks of each of
/// its targets per tick, to know a method is still the class's own (bench_replay
/// replay_step_cpu); fallback PyObject_GenericGetDict, which makes the dict when missing.
inline bool instance_dict_holds(nb::handle obj, nb::handle name) {
    PyObject *dict = nullptr;
    nb::object made;
    if (!public_api_only()) {
        dict = dict_in_slot(obj.ptr());
    } else if (PyObject *fetched = PyObject_GenericGetDict(obj.ptr(), nullptr)) {
        made = nb::steal(fetched);
        dict = fetched;
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear(); // no instance dict at all
    } else {
        throw nb::python_error();
    }
    if (!dict || !PyDict_Check(dict))
        return false;
    if (PyDict_GetItemWithError(dict, name.ptr()))
        return true;
    if (PyErr_Occurred())
        throw nb::python_error();
    return false;
}

/// What an object's attribute look-ups depend on: its type and instance dict, each with
/// the version tag CPython changes on every modification of it. Two equal valid stamps mean
/// no attribute of the object was set, replaced or removed in between (the tags are never
/// reused). Reading the tags (`tp_version_tag`, the dict's `ma_version_tag` and its slot)
/// lets the replay step keep its answer to "is this method still the class's own?" instead
/// of looking both up on every tick (bench_replay replay_step_cpu); fallback: never valid,
/// so the answer is looked up again every time.
struct ObjectStamp {
    PyTypeObject *type = nullptr;
    unsigned int type_tag = 0;
    PyObject *dict = nullptr;
    std::uint64_t dict_tag = 0;
    bool valid = false;

    bool operator==(const ObjectStamp &o) const {
        return valid && o.valid && type == o.type && type_tag == o.type_tag && dict == o.dict &&
               dict_tag == o.dict_tag;
    }
};

/// `dict`'s version tag, which every change of the dict renews (unique process-wide), or 0
/// where there is none to read; the same reader as object_stamp, for a dict on its own.
inline std::uint64_t dict_tag(PyObject *dict) {
#if PY_VERSION_HEX < 0x030C0000
    if (!public_api_only() && PyDict_Check(dict))
        return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    (void)dict;
#endif
    return 0;
}

inline ObjectStamp object_stamp(PyObject *obj) {
    ObjectStamp stamp;
#if PY_VERSION_HEX < 0x030C0000 // the dict tag is deprecated from 3.12 on
    if (public_api_only())
        return stamp;
    PyTypeObject *type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return stamp;
    stamp.type = type;
    stamp.type_tag = type->tp_version_tag;
    stamp.dict = dict_in_slot(obj);
    if (stamp.dict) {
        if (!PyDict_Check(stamp.dict))
            return stamp;
        stamp.dict_tag = dict_tag(stamp.dict);
    }
    stamp.valid = true;
#else
    (void)obj;
#endif
    return stamp;
}

} // namespace quarvel::native
