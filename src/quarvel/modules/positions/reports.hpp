#pragma once
// Shared pieces of the reporting binding files of Positions (queries, exports, reports).
#include <initializer_list>
#include <string>

#include "bindings.hpp"

namespace quarvel::positions {

// Method groups registered by register_report_methods, one binding file each.
void register_query_methods(nb::class_<Positions> &cls);
void register_position_format_methods(nb::class_<Positions> &cls);
void register_export_methods(nb::class_<Positions> &cls);
void register_standard_report_methods(nb::class_<Positions> &cls);
void register_qs_report_methods(nb::class_<Positions> &cls);

/// Writes the str `text` as UTF-8 to `path` (a str) through a temporary file and a rename,
/// preceded by a byte-order mark when `with_bom`. OSError on failure. GIL held on entry;
/// released around the file I/O.
void write_text_atomically(nb::handle path, nb::handle text, bool with_bom = false);

/// `self.__generate_save_path(file_name, *folders)`, through the attribute so that a
/// subclass's override is honoured. GIL held.
nb::object save_path(nb::handle self, nb::handle file_name,
                     std::initializer_list<const char *> folders);

/// list(items): a new list of the items of any iterable (a dict gives its keys). GIL held.
inline nb::list list_copy(nb::handle items) {
    return nb::steal<nb::list>(nb::detail::raise_if_null(PySequence_List(items.ptr())));
}

/// Local date-time of `timestamp` (seconds since the epoch), as datetime.fromtimestamp. GIL held.
nb::object local_datetime(nb::handle timestamp);

} // namespace quarvel::positions
