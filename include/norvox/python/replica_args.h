// Python-facing pieces the two replica-check modules share: folder arguments, file-system text,
// and dates as day ordinals. A module including this calls PyDateTime_IMPORT at set-up.
#pragma once

#include <nanobind/nanobind.h>

#include <datetime.h>

#include <cstdint>
#include <string>

#include "norvox/native/daily_name.h"

namespace norvox::replica {

namespace nb = nanobind;

/// A folder argument: anything os.fspath accepts (text, bytes, a path object).
struct PathArg {
    nb::object text;    ///< os.fspath of the argument, for error reports
    std::string bytes;  ///< the path as the file system takes it
    bool usable = true; ///< false when it cannot name anything: unencodable, or holding a NUL
};

/// Read a folder argument; TypeError for values that are no path.
inline PathArg path_arg(nb::handle value) {
    PathArg arg;
    arg.text = nb::steal(PyOS_FSPath(value.ptr()));
    if (!arg.text.is_valid())
        throw nb::python_error();
    nb::object encoded = arg.text;
    if (PyUnicode_Check(arg.text.ptr())) {
        encoded = nb::steal(PyUnicode_EncodeFSDefault(arg.text.ptr()));
        if (!encoded.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                throw nb::python_error();
            PyErr_Clear(); // like os.path.exists: a path that cannot be encoded names nothing
            arg.usable = false;
            return arg;
        }
    }
    arg.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    arg.usable = arg.bytes.find('\0') == std::string::npos;
    return arg;
}

/// File-system bytes as text, the way os.fsdecode reads them.
inline nb::str fs_text(std::string_view bytes) {
    PyObject *text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (text == nullptr)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

/// True for a plain date: not a datetime, not any other subclass.
inline bool is_plain_date(nb::handle value) { return PyDate_CheckExact(value.ptr()); }

/// The ordinal of a plain date (see daily::to_ordinal).
inline std::int32_t ordinal_of(nb::handle date) {
    return daily::to_ordinal(PyDateTime_GET_YEAR(date.ptr()), PyDateTime_GET_MONTH(date.ptr()),
                             PyDateTime_GET_DAY(date.ptr()));
}

/// A new date of an ordinal.
inline nb::object date_of(std::int32_t ordinal) {
    const daily::CivilDay day = daily::from_ordinal(ordinal);
    PyObject *date = PyDate_FromDate(day.year, day.month, day.day);
    if (date == nullptr)
        throw nb::python_error();
    return nb::steal(date);
}

} // namespace norvox::replica
