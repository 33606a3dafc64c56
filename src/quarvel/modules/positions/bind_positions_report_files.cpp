// File helpers shared by the export and report methods: code checks, atomic writes and
// the save-path method.
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "core/report_files.hpp"
#include "reports.hpp"

#include <cstring>

namespace quarvel::positions {

using namespace native;

namespace {

/// OSError (or its errno subclass, e.g. PermissionError) for `path`, like open() raises.
[[noreturn]] void raise_os_error(int error, nb::handle path) {
    nb::object exc = nb::handle(PyExc_OSError)(error, std::strerror(error), path);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

} // namespace

void write_text_atomically(nb::handle path, nb::handle text, bool with_bom) {
    if (!PyUnicode_Check(text.ptr()))
        throw nb::type_error("report text must be str");
    nb::object fs_path = module_attr(kModule, "os").attr("fsdecode")(path);
    std::string target = utf8(fs_path);
    std::string body = utf8(text);
    const std::string_view head = with_bom ? std::string_view("\xEF\xBB\xBF") : std::string_view();
    int error = 0;
    {
        // GIL released: no Python objects below, only the copied bytes.
        nb::gil_scoped_release release;
        error = core::ledger::write_file_atomically(target, head, body);
    }
    if (error)
        raise_os_error(error, fs_path);
}

nb::object save_path(nb::handle self, nb::handle file_name,
                     std::initializer_list<const char *> folders) {
    nb::list args;
    args.append(file_name);
    for (const char *folder : folders)
        args.append(nb::str(folder));
    return self.attr(QV_PRIVATE(Positions, generate_save_path))(*nb::tuple(args));
}

nb::object local_datetime(nb::handle timestamp) {
    nb::object datetime_cls = module_attr(kModule, "datetime").attr("datetime");
    return datetime_cls.attr("fromtimestamp")(timestamp);
}

} // namespace quarvel::positions
