// Module set-up's imports: Python's import statements, done from C++.
#pragma once

#include <initializer_list>
#include <string_view>

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// `import a, b.c, ...` at module set-up: each module is loaded and its top-level package is
/// kept in a module global of that name, as Python's import statement does.
inline void import_modules(nb::handle m, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        nb::module_::import_(name);
        std::string_view dotted(name);
        std::string_view top = dotted.substr(0, dotted.find('.'));
        nb::str key(top.data(), top.size());
        m.attr(key) = nb::module_::import_(key.c_str());
    }
}

/// `from module import a, b, ...` at module set-up: each name is kept in a module global.
inline void import_from(nb::handle m, const char *module, std::initializer_list<const char *> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char *name : names)
        m.attr(name) = source.attr(name);
}

} // namespace norvox
