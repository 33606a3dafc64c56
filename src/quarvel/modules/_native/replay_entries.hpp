#pragma once
// Per-tick entry points one extension module offers the replay step of another, as plain C
// functions in a capsule (the modules share no C++ types at run time). The step calls an
// entry only while the object's method is still the class's own: the entry does what that
// method does, without the method lookup, the argument conversion and the re-reading of
// the tick dict. Anything replaced (on the class, a subclass or the instance) is called as
// a method, as before. GIL held in every function here.
#include <nanobind/nanobind.h>

#include <exception>
#include <type_traits>

#include "_native/attr_memo.hpp"
#include "_native/errors.hpp"
#include "_native/private_api.hpp"

namespace quarvel::native {
namespace nb = nanobind;

/// A tick dict as the replay step made it, with its values read once (borrowed: the dict
/// holds them).
struct ReplayTick {
    PyObject *dict;
    PyObject *market_type, *timestamp, *code, *close, *qty, *tick_type, *is_simulate;
};

/// What an entry's `call` returns besides -1 (failed, the Python error set).
inline constexpr int kEntryDone = 0;
/// Done, but a replaced method of another object ran on the way (it may have changed the
/// tick dict: values read before are stale).
inline constexpr int kEntryCalledOut = 1;

/// One method as an entry: the class attribute it stands for and the function doing its
/// work. Values read from the tick dict are trusted not to change while entries run (they
/// run no code of the user's but what kEntryCalledOut reports).
struct ReplayEntry {
    PyObject *name;     ///< interned method name
    PyObject *function; ///< the class's own attribute under that name
    int (*call)(PyObject *self, const ReplayTick &tick);
};

inline constexpr int kReplayEntriesVersion = 1;

/// A bar feed's poll as an entry: new reference to what poll() returns, or nullptr with the
/// Python error set.
struct PollEntry {
    PyObject *name;
    PyObject *function;
    PyObject *(*call)(PyObject *feed);
};

/// What the ledger module offers.
struct LedgerReplayEntries {
    int version;
    ReplayEntry add_tick;                   ///< QuoteManager.add_tick(tick)
    ReplayEntry positions_set_current_tick; ///< Positions.set_current_tick(tick)
    PollEntry poll_bars;                    ///< BarFeed.poll()
};

/// What the exchange module offers. Its set_current_tick takes the ledger's entries, so
/// that the ledger's own set_current_tick it calls runs as an entry too.
struct ExchangeReplayEntries {
    int version;
    ReplayEntry set_current_tick; ///< Matcher.set_current_tick(tick)
    ReplayEntry match_deal;       ///< Matcher.match_deal(code, close, qty, timestamp)
    const LedgerReplayEntries *ledger;
};

inline constexpr const char *kLedgerEntriesCapsule =
    "quarvel.modules.positions.positions._replay_entries";
inline constexpr const char *kExchangeEntriesCapsule =
    "quarvel.modules.matcher.matcher._replay_entries";

/// True when `self.<name>` is the class's own method `function` (not replaced on the class, a
/// subclass or the instance): the entry may stand in for the call.
inline bool runs_own(PyObject *self, PyObject *name, PyObject *function) {
    return type_attribute(Py_TYPE(self), name).ptr() == function &&
           !instance_dict_holds(self, name);
}

template <typename Entry> bool runs_own(PyObject *self, const Entry &entry) {
    return runs_own(self, entry.name, entry.function);
}

/// runs_own for one call site, remembered while the object's stamp stays the same (the
/// object, its type and its instance dict unmodified); asked again otherwise.
class OwnCheck {
  public:
    template <typename Entry> bool operator()(PyObject *self, const Entry &entry) {
        if (at_.holds(self))
            return own_;
        own_ = runs_own(self, entry);
        at_.note(self);
        return own_;
    }

  private:
    StampedFor at_;
    bool own_ = false;
};

/// Runs `work`, turning what it throws into the Python error the method would raise.
template <typename Work> int run_entry(Work &&work) noexcept {
    try {
        if constexpr (std::is_same_v<decltype(work()), int>)
            return work();
        else
            work();
        return kEntryDone;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(python_type_of(e), e.what());
    }
    return -1;
}

/// The class attribute `name` of `cls` (for ReplayEntry::function), kept for the process.
inline PyObject *own_attribute(nb::handle cls, const char *name) {
    PyObject *found =
        PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict, name);
    if (!found)
        throw nb::attribute_error(name);
    return nb::borrow(found).release().ptr();
}

/// Publishes `entries` (static storage) on module `m` under `_replay_entries`.
template <typename Entries>
void publish_entries(nb::module_ &m, const Entries *entries, const char *capsule_name) {
    PyObject *capsule = PyCapsule_New(const_cast<Entries *>(entries), capsule_name, nullptr);
    if (!capsule)
        throw nb::python_error();
    m.attr("_replay_entries") = nb::steal(capsule);
}

/// The entries published under `capsule_name`, or nullptr (no error left set) when the
/// module or its capsule is missing or of another version.
template <typename Entries> const Entries *find_entries(const char *capsule_name) {
    auto *found = static_cast<const Entries *>(PyCapsule_Import(capsule_name, 0));
    if (!found || found->version != kReplayEntriesVersion) {
        PyErr_Clear();
        return nullptr;
    }
    return found;
}

} // namespace quarvel::native
