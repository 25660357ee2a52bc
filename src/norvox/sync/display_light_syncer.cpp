// norvox.sync.display_light_syncer: the display backlight setting as a per-meter column.
//
// The stored value is the name of the meter's setting; the one code that means "normal" on a
// single-phase meter and "always off" on a three-phase one is told apart by the meter's kind.
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

NORVOX_SITE(fetch_metrics);
nb::object fetch_metrics(nb::module_ m, nb::handle self) {
    nb::object setting = self.attr("dederi_client").attr("backlight")(self.attr("serial"));
    nb::object setting_type = m.attr("DmpMessage").attr("BacklightSettingType");
    if (!nb::isinstance(setting, setting_type)) {
        m.attr("logger").attr("warn")("skipping because the backlight value is unknown");
        return m.attr("UpdatesTuple")(nb::none(), nb::none());
    }
    nb::object setting_name = setting.attr("name");
    if (setting_name.equal(setting_type.attr("normal_sp_or_always_off_3p").attr("name"))) {
        const bool is_3p =
            norvox::truthy(m.attr("is_three_phase_lookup")(self.attr("supabase"), self.attr("meter_id")));
        setting_name = nb::str(is_3p ? "always_off_3p" : "normal_sp");
    }
    nb::dict updates;
    updates["backlight"] = setting_name;
    return m.attr("UpdatesTuple")(updates, nb::none());
}

} // namespace

NORVOX_MODULE(display_light_syncer, m) {
    import_from(m, "norvox.sync.syncer_base", {"SyncerBase", "UpdatesTuple"});
    import_from(m, "typing_extensions", {"override"});
    import_from(m, "dmp_frame_protocol", {"DmpMessage"});
    import_from(m, "norvox.util.meters", {"is_three_phase_lookup"});
    import_from(m, "norvox.util.logging", {"get_logger"});

    m.attr("logger") = norvox::module_logger(m);

    norvox::make_syncer_class(m, "DisplayLightSyncer", "The meter's display backlight setting.", fetch_metrics_site,
                              &fetch_metrics,
                              "The column backlight: the setting's name (always_off_3p or normal_sp for the shared "
                              "code); none for an unknown setting.");
}
