// norvox.sync.signal_quality_syncer: the modem's signal quality as a per-meter column.
//
// Loads no logging: it has nothing to log.
#include <nanobind/nanobind.h>

#include "norvox/jobs.h"
#include "norvox/module.h"
#include "norvox/pyclass.h"

namespace nb = nanobind;

namespace {

using norvox::jobs::import_from;

NORVOX_SITE(fetch_metrics);
nb::object fetch_metrics(nb::module_ m, nb::handle self) {
    nb::dict updates;
    updates["csq"] = self.attr("dederi_client").attr("csq")(self.attr("serial"));
    return m.attr("UpdatesTuple")(updates, nb::none());
}

} // namespace

NORVOX_MODULE(signal_quality_syncer, m) {
    import_from(m, "norvox.sync.syncer_base", {"SyncerBase", "UpdatesTuple"});
    import_from(m, "typing_extensions", {"override"});

    nb::dict ns;
    ns["__doc__"] = "The meter modem's signal quality.";
    norvox::add_method(ns, m, "fetch_metrics", fetch_metrics_site, &fetch_metrics,
                       "The column csq: the signal quality as the meter gives it.");
    ns["fetch_metrics"] = m.attr("override")(ns["fetch_metrics"]);
    nb::object base = m.attr("SyncerBase");
    norvox::make_class(m, "SignalQualitySyncer", nb::make_tuple(base), ns, base.type());
}
