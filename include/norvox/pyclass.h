// Building plain Python classes at module set-up, with C++ functions as their methods.
#pragma once

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// A new class `name` of module `m`, made by calling `metaclass(name, bases, namespace)`
/// (the built-in `type` unless given), after setting `__module__` and `__qualname__` in the
/// namespace. Methods go into the namespace as
/// `nb::cpp_function(f, nb::is_method(), nb::name("..."), ...)`.
inline nb::object make_class(nb::module_ &m, const char *name, nb::tuple bases, nb::dict ns,
                             nb::handle metaclass = nb::handle()) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    nb::handle meta = metaclass.is_valid() ? metaclass : nb::handle((PyObject *)&PyType_Type);
    nb::object cls = meta(nb::str(name), bases, ns);
    m.attr(name) = cls;
    return cls;
}

/// Put `fn` into the class namespace `ns` as the method `name`. Python calls it with the
/// instance and the method's arguments; `fn` gets the module `m` first, then those.
/// `extra` are further nanobind annotations (argument names and defaults, documentation).
template <typename R, typename... Args, typename... Extra>
void add_method(nb::dict &ns, nb::module_ m, const char *name, R (*fn)(nb::module_, nb::handle, Args...),
                const Extra &...extra) {
    ns[name] = nb::cpp_function([m, fn](nb::handle self, Args... args) -> R { return fn(m, self, args...); },
                                nb::is_method(), nb::name(name), extra...);
}

} // namespace norvox
