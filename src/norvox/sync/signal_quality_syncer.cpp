// norvox.sync.signal_quality_syncer: the modem's signal quality as a per-meter column.
//
// Loads no logging: it has nothing to log.
#include <nanobind/nanobind.h>

#include "norvox/python/imports.h"
#include "norvox/python/module.h"
#include "norvox/python/syncer.h"

namespace nb = nanobind;

namespace {

using norvox::import_from;

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

    norvox::make_syncer_class(m, "SignalQualitySyncer", "The meter modem's signal quality.", fetch_metrics_site,
                              &fetch_metrics, "The column csq: the signal quality as the meter gives it.");
}
