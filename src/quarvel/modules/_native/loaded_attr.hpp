#pragma once
// Module-level names read straight from sys.modules. PyImport_GetModule also asks the
// module's __spec__ whether it is still initialising, which raises and clears an
// AttributeError internally and costs about a microsecond per look-up on a hot path.
// GIL held.
#include <nanobind/nanobind.h>

namespace quarvel::native {
namespace nb = nanobind;

/// `name` of the already imported module `module`, read now (ImportError if not loaded).
inline nb::object loaded_attr(const char *module, const char *name) {
    PyObject *mod = PyDict_GetItemString(PyImport_GetModuleDict(), module); // borrowed
    if (!mod) {
        PyErr_Format(PyExc_ImportError, "module %s is not loaded", module);
        throw nb::python_error();
    }
    PyObject *value = PyObject_GetAttrString(mod, name);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

} // namespace quarvel::native
