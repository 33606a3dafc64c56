// Date-time conversions between Python's datetime objects and naive local microseconds.
// The datetime C API is imported in this file only. GIL held in every function.
#include <Python.h>
#include <datetime.h>

#include "_native/args.hpp"
#include "quote_manager.hpp"

namespace quarvel::positions {

namespace {

void ensure_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw nb::python_error();
    }
}

nb::object checked(PyObject *made) {
    if (!made)
        throw nb::python_error();
    return nb::steal(made);
}

} // namespace

nb::object py_datetime(core::quotes::LocalMicros t) {
    ensure_datetime_api();
    const core::quotes::CivilDateTime c = core::quotes::civil_from_local(t);
    return checked(PyDateTime_FromDateAndTime(c.year, c.month, c.day, c.hour, c.minute, c.second,
                                              c.microsecond));
}

nb::object py_time(int hour, int minute, int second) {
    ensure_datetime_api();
    return checked(PyTime_FromTime(hour, minute, second, 0));
}

core::quotes::LocalMicros local_micros(nb::handle value, const char *what) {
    ensure_datetime_api();
    if (!PyDateTime_Check(value.ptr()))
        native::raise_arg_type(what, "datetime", value);
    PyObject *v = value.ptr();
    return core::quotes::local_from_civil(
        {PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
         PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v), PyDateTime_DATE_GET_SECOND(v),
         PyDateTime_DATE_GET_MICROSECOND(v)});
}

std::int64_t time_micros(nb::handle value, const char *what) {
    ensure_datetime_api();
    if (!PyTime_Check(value.ptr()))
        native::raise_arg_type(what, "datetime.time", value);
    PyObject *v = value.ptr();
    return PyDateTime_TIME_GET_HOUR(v) * core::quotes::kMicrosPerHour +
           PyDateTime_TIME_GET_MINUTE(v) * core::quotes::kMicrosPerMinute +
           PyDateTime_TIME_GET_SECOND(v) * core::quotes::kMicrosPerSecond +
           PyDateTime_TIME_GET_MICROSECOND(v);
}

core::quotes::LocalMicros local_from_timestamp(nb::handle value) {
    std::int64_t seconds = 0, micros = 0;
    core::quotes::LocalMicros out = 0;
    PyTypeObject *type = Py_TYPE(value.ptr());
    bool split = false;
    if (type == &PyFloat_Type) {
        split = core::quotes::split_timestamp(PyFloat_AS_DOUBLE(value.ptr()), seconds, micros);
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        seconds = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        split = !overflow && !(seconds == -1 && PyErr_Occurred());
        PyErr_Clear();
    }
    if (split && core::quotes::local_from_unix(seconds, micros, out))
        return out;
    // Anything unusual goes the long way, so values and errors are datetime's own.
    ensure_datetime_api();
    nb::object datetime_type =
        nb::borrow(reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType));
    return local_micros(datetime_type.attr("fromtimestamp")(value), "timestamp");
}

} // namespace quarvel::positions
