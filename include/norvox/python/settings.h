// Reading the job programs' settings from the process environment.
#pragma once

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// The variable's text as the process environment holds it, or None when unset.
inline nb::object env_text(const char *name) { return nb::module_::import_("os").attr("environ").attr("get")(name); }

/// An integer setting: `fallback` when unset or empty, else Python's int() of the text
/// (sign and surrounding white space allowed); any other text raises ValueError.
inline nb::object env_int(const char *name, long fallback) {
    nb::object text = env_text(name);
    if (text.is_none() || nb::len(text) == 0)
        return nb::int_(fallback);
    return nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type))(text);
}

} // namespace norvox
