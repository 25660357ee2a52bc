// Pieces every program module needs: its module logger, traceback lines of a caught error,
// and ending the process with a status.
#pragma once

#include <nanobind/nanobind.h>

#include "norvox/python/function.h"

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

/// The stop check of a native loop that runs with the interpreter's lock released (a folder
/// walk, say): takes the lock, runs the handlers of signals that arrived meanwhile and throws the
/// error one raises, Ctrl-C's KeyboardInterrupt for example, so that the loop stops as Python's
/// own folder and file calls stop.
inline void check_signals_unlocked() {
    nb::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0)
        throw nb::python_error();
}

/// End the process with `status` by raising SystemExit, so exit hooks and log flushing run.
[[noreturn]] inline void exit_with(int status) {
    PyErr_SetObject(PyExc_SystemExit, nb::int_(status).ptr());
    throw nb::python_error();
}

} // namespace norvox
