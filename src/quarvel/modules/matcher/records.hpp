#pragma once
// Helpers over the live order records in `pending_orders`. GIL held in every function.
#include <nanobind/nanobind.h>

#include <string>

#include "fields.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

/// A deep copy of an order record, as copy.deepcopy gives it (natively when it is flat).
nb::object deep_copy_record(nb::handle record);

/// The first record of `orders` whose `trade_id` equals `trade_id`, or an empty object.
nb::object find_order(nb::handle orders, nb::handle trade_id);

/// Position of `record` itself (identity, not equality) in the list, or -1.
Py_ssize_t index_of(nb::handle orders, nb::handle record);

/// Removes `record` itself from the list; false when it is no longer there.
bool remove_record(nb::handle orders, nb::handle record);

/// A list attribute of the matcher (`pending_orders`); TypeError when it is not a list.
nb::object pending_orders_of(nb::handle self);

} // namespace quarvel::matcher
