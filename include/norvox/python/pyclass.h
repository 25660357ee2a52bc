// Building plain Python classes at module set-up, with C++ functions as their methods.
#pragma once

#include <nanobind/nanobind.h>

#include "norvox/python/function.h"

namespace norvox {

namespace nb = nanobind;

/// A new class `name` of module `m`, made by calling `metaclass(name, bases, namespace)`
/// (the built-in `type` unless given), after setting `__module__` and `__qualname__` in the
/// namespace. Methods go into the namespace through `add_method` (function.h).
inline nb::object make_class(nb::module_ &m, const char *name, nb::tuple bases, nb::dict ns,
                             nb::handle metaclass = nb::handle()) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    nb::handle meta = metaclass.is_valid() ? metaclass : nb::handle((PyObject *) &PyType_Type);
    nb::object cls = meta(nb::str(name), bases, ns);
    m.attr(name) = cls;
    return cls;
}

} // namespace norvox
