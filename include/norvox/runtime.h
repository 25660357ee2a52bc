// Pieces every program module needs: its module logger, traceback lines of a caught error,
// and ending the process with a status.
#pragma once

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// The module logger: get_logger(<module name>, <module file>) of norvox.util.logging.
/// The import system sets `__file__` before an extension module's set-up runs.
inline nb::object module_logger(nb::module_ &m) {
    nb::object get_logger = nb::module_::import_("norvox.util.logging").attr("get_logger");
    return get_logger(m.attr("__name__"), m.attr("__file__"));
}

/// The formatted report lines of a caught error (each ending in a line feed), as
/// traceback.format_exception gives them.
inline nb::object traceback_lines(nb::handle error) {
    nb::object tb = nb::steal(PyException_GetTraceback(error.ptr()));
    nb::object format = nb::module_::import_("traceback").attr("format_exception");
    return format(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()))), error,
                  tb.is_valid() ? tb : nb::none());
}

/// True for errors a guarded block handles: kinds of Exception, not SystemExit, interrupts
/// or other BaseException kinds, which pass through.
inline bool is_ordinary_error(nb::python_error &e) { return e.matches(PyExc_Exception); }

/// The error of a caught Python exception, for a guarded block that handles ordinary errors;
/// SystemExit, interrupts and other BaseException kinds are raised again. Call it only inside
/// the catch clause.
inline nb::object caught(nb::python_error &e) {
    if (!is_ordinary_error(e))
        throw;
    return nb::borrow(e.value());
}

/// End the process with `status` by raising SystemExit, so exit hooks and log flushing run.
[[noreturn]] inline void exit_with(int status) {
    PyErr_SetObject(PyExc_SystemExit, nb::int_(status).ptr());
    throw nb::python_error();
}

} // namespace norvox
