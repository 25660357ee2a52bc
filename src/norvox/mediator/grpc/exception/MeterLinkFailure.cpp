// norvox.mediator.grpc.exception.MeterLinkFailure: the exception for a failed link to a meter.
//
// The class derives from the built-in Exception, so it is made at set-up by Exception's own
// metaclass, with the constructor as a C++ method in its namespace.
#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/module.h"
#include "norvox/python/pyclass.h"

namespace nb = nanobind;

namespace {

NORVOX_SITE(meter_link_failure_init);
void meter_link_failure_init(nb::handle self, nb::handle message) {
    norvox::check_exact(message, &PyUnicode_Type, "message");
    self.attr("message") = message;
    nb::handle(PyExc_Exception).attr("__init__")(self, self.attr("message"));
}

} // namespace

NORVOX_MODULE(MeterLinkFailure, m) {
    nb::handle base = PyExc_Exception;
    nb::dict body;
    norvox::add_callable_method(body, m, "__init__", meter_link_failure_init_site, &meter_link_failure_init,
                                nb::arg("message").none(), nb::sig("def __init__(self, message: str) -> None"));
    norvox::make_class(m, "MeterLinkFailure", nb::make_tuple(base), body,
                       reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
}
