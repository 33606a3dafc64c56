// Record helpers: deep copies, look-ups by identifier and removal by identity.
#include "records.hpp"

#include "_native/args.hpp"
#include "bindings.hpp"

namespace quarvel::matcher {

using namespace native;

nb::object deep_copy_record(nb::handle record) {
    if (nb::object copy = flat_deep_copy(record); copy.is_valid())
        return copy;
    return module_global("copy").attr("deepcopy")(record);
}

nb::object find_order(nb::handle orders, nb::handle trade_id) {
    nb::list snapshot = nb::list(orders);
    for (nb::handle order : snapshot) {
        nb::object id = item(order, interned<MatcherKeys>().trade_id);
        int equal = PyObject_RichCompareBool(id.ptr(), trade_id.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal)
            return nb::borrow(order);
    }
    return nb::object();
}

Py_ssize_t index_of(nb::handle orders, nb::handle record) {
    const Py_ssize_t n = PyList_GET_SIZE(orders.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(orders.ptr(), i) == record.ptr())
            return i;
    return -1;
}

bool remove_record(nb::handle orders, nb::handle record) {
    Py_ssize_t i = index_of(orders, record);
    if (i < 0)
        return false;
    if (PySequence_DelItem(orders.ptr(), i) < 0)
        throw nb::python_error();
    return true;
}

nb::object pending_orders_of(nb::handle self) {
    nb::object orders = self.attr("pending_orders");
    if (!PyList_Check(orders.ptr()))
        raise_arg_type("pending_orders", "list", orders);
    return orders;
}

} // namespace quarvel::matcher
