// norvox.mediator.client: the deprecated home of the mediator client names, kept so that old
// imports still work; loading it warns once per process.
#include <nanobind/nanobind.h>

#include "norvox/python/module.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *module_doc = R"(
Backward compatibility module.

This module re-exports DederiMediatorAPI from api_core for backward compatibility.
New code should import directly from api_core or api_prepay.

Deprecated: Import from norvox.mediator instead.
)";

constexpr const char *deprecation_text =
    "Importing from norvox.mediator.client is deprecated. Use norvox.mediator.api_core or "
    "norvox.mediator.api_prepay instead.";

constexpr const char *core_names[] = {"DederiMediatorAPI"};
constexpr const char *prepay_names[] = {"DederiPrepayAPI", "PricingTable", "TariffsActive", "TariffsFuture"};

/// `from .<sibling> import <names>` for module `m`: each name bound on `m`, and the import
/// error of that statement when the module or a name is missing.
template <size_t N> void import_from_sibling(nb::module_ &m, const char *sibling, const char *const (&names)[N]) {
    nb::list fromlist;
    for (const char *name : names)
        fromlist.append(name);
    nb::dict globals;
    globals["__name__"] = m.attr("__name__");
    globals["__package__"] = m.attr("__package__");
    nb::object source = nb::module_::import_("builtins").attr("__import__")(sibling, globals, nb::none(), fromlist, 1);
    for (const char *name : names) {
        if (!nb::hasattr(source, name)) {
            nb::object source_name = source.attr("__name__");
            nb::object message =
                nb::str("cannot import name {!r} from {!r} ({})")
                    .format(name, source_name, nb::getattr(source, "__file__", nb::str("unknown location")));
            nb::object error = nb::handle(PyExc_ImportError)(message, "name"_a = source_name,
                                                             "path"_a = nb::getattr(source, "__file__", nb::none()));
            PyErr_SetObject(PyExc_ImportError, error.ptr());
            throw nb::python_error();
        }
        m.attr(name) = source.attr(name);
    }
}

/// Whether `frame` runs code of the import system (importlib and its bootstrap).
bool in_import_system(nb::handle frame) {
    nb::object name = frame.attr("f_globals").attr("get")("__name__");
    if (!PyUnicode_Check(name.ptr()))
        return false;
    nb::str text = nb::borrow<nb::str>(name);
    return text.equal(nb::str("importlib")) || nb::cast<bool>(text.attr("startswith")("importlib."));
}

/// The stack level that makes warnings.warn, called from this set-up, name the statement that
/// imported the module. A module written in Python would say 2: its own frame, then the
/// importer, as the warnings machinery skips the import system's frames between them. Set-up
/// code has no frame of its own, and the innermost frame belongs to the import system, for which
/// warnings.warn counts every frame; so the level is one more than the number of import-system
/// frames on top of the stack.
long importer_stack_level() {
    long level = 1;
    nb::object frame = nb::module_::import_("sys").attr("_getframe")();
    while (!frame.is_none() && in_import_system(frame)) {
        frame = frame.attr("f_back");
        ++level;
    }
    return level;
}

} // namespace

NORVOX_MODULE(client, m) {
    m.doc() = module_doc;

    // 1.-3.
    nb::module_ warnings = nb::module_::import_("warnings");
    m.attr("warnings") = warnings;
    import_from_sibling(m, "api_core", core_names);
    import_from_sibling(m, "api_prepay", prepay_names);

    // 4. Attributed to the importing statement.
    warnings.attr("warn")(deprecation_text, nb::handle(PyExc_DeprecationWarning),
                          "stacklevel"_a = importer_stack_level());

    // 5.
    nb::list all;
    for (const char *name : core_names)
        all.append(name);
    for (const char *name : prepay_names)
        all.append(name);
    m.attr("__all__") = all;
}
