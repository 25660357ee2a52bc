// norvox.sync.readings_syncer: the meter's register readings as per-meter columns.
//
// A meter without a hardware type is skipped. A three-phase meter gives its import and export
// totals; any other meter the import and export registers of its elements A and B.
#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/imports.h"
#include "norvox/python/module.h"
#include "norvox/python/runtime.h"
#include "norvox/python/syncer.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using norvox::import_from;
using norvox::required;

NORVOX_SITE(fetch_metrics);
nb::object fetch_metrics(nb::module_ m, nb::handle self) {
    nb::object supabase = self.attr("supabase");
    nb::object meter_id = self.attr("meter_id");
    // The hardware type only gates the read: a meter without one is not read at all.
    nb::object hardware = m.attr("get_hardware")(supabase, meter_id);
    if (hardware.is_none() || hardware.equal(nb::str("")))
        return m.attr("UpdatesTuple")(nb::none(), nb::none());

    const bool is_3p = norvox::truthy(m.attr("is_three_phase_lookup")(supabase, meter_id));
    nb::object client = self.attr("dederi_client");
    nb::object serial = self.attr("serial");
    nb::dict updates;
    if (is_3p) {
        nb::object totals = client.attr("three_phase_read")(serial, "hardware"_a = nb::none());
        updates["import_a"] = required(totals, "active_import");
        updates["export_a"] = required(totals, "active_export");
    } else {
        nb::object element_a = client.attr("read_element_a")(serial);
        nb::object element_b = client.attr("read_element_b")(serial);
        updates["import_a"] = required(element_a, "import_active");
        updates["import_b"] = required(element_b, "import_active");
        updates["export_a"] = required(element_a, "export_active");
        updates["export_b"] = required(element_b, "export_active");
    }
    return m.attr("UpdatesTuple")(updates, nb::none());
}

} // namespace

NORVOX_MODULE(readings_syncer, m) {
    import_from(m, "norvox.sync.syncer_base", {"SyncerBase", "UpdatesTuple"});
    import_from(m, "typing_extensions", {"override"});
    import_from(m, "norvox.util.meters", {"get_hardware", "is_three_phase_lookup"});
    import_from(m, "norvox.util.logging", {"get_logger"});

    m.attr("logger") = norvox::module_logger(m);

    norvox::make_syncer_class(m, "ReadingsSyncer", "The meter's import and export register readings.",
                              fetch_metrics_site, &fetch_metrics,
                              "The columns import_a, import_b, export_a, export_b (import_a and export_a for a "
                              "three-phase meter); none for a meter without a hardware type.");
}
