// Exact-type checks for typed parameters of the modules' Python-facing functions, and the
// key reads of maps (rows).
#pragma once

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// Raise TypeError unless `value` is exactly of `type` (or None when `none_ok`).
/// Subclasses are refused too: a typed parameter takes its own type only.
inline void check_exact(nb::handle value, PyTypeObject *type, const char *name, bool none_ok = false) {
    if (Py_TYPE(value.ptr()) == type || (none_ok && value.is_none()))
        return;
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name, type->tp_name,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

/// Python truth of `value` (`bool(value)`); errors of `__bool__` propagate.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

/// `value` as text, refusing anything that is not exactly `str`.
inline nb::str exact_str(nb::handle value, const char *name) {
    check_exact(value, &PyUnicode_Type, name);
    return nb::borrow<nb::str>(value);
}

/// `mapping[key]`, raising as Python's subscript does (KeyError when absent).
inline nb::object required(nb::handle mapping, const char *key) {
    nb::object value = nb::steal(PyObject_GetItem(mapping.ptr(), nb::str(key).ptr()));
    if (!value.is_valid())
        throw nb::python_error();
    return value;
}

/// `mapping.get(key)`: none when the key is absent.
inline nb::object lookup(nb::handle mapping, const char *key) { return mapping.attr("get")(key); }

} // namespace norvox
