// What the metric syncer modules share: their class, derived from the outside SyncerBase.
#pragma once

#include <nanobind/nanobind.h>

#include "norvox/python/function.h"
#include "norvox/python/pyclass.h"

namespace norvox {

namespace nb = nanobind;

/// The syncer class `name` of module `m`, documented `doc`: derived from the module global
/// `SyncerBase` (made by that class's metaclass), with `fetch` (defined at `site`, documented
/// `fetch_doc`) as its `fetch_metrics` (declared to return an `UpdatesTuple`), marked with the
/// module global `override`. `ns` may hold the class's further methods.
inline nb::object make_syncer_class(nb::module_ &m, const char *name, const char *doc, Site site,
                                    nb::object (*fetch)(nb::module_, nb::handle), const char *fetch_doc,
                                    nb::dict ns = nb::dict()) {
    ns["__doc__"] = doc;
    add_method(ns, m, "fetch_metrics", site, fetch,
               nb::sig("def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple"), fetch_doc);
    ns["fetch_metrics"] = m.attr("override")(ns["fetch_metrics"]);
    nb::object base = m.attr("SyncerBase");
    return make_class(m, name, nb::make_tuple(base), ns, base.type());
}

} // namespace norvox
