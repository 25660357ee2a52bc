// norvox.sync.clock_offset_syncer: how far the meter clock is off, as per-meter columns.
//
// The drift is the whole seconds of the absolute difference between the meter clock and the
// current UTC time, whole days included, so the clock correction sees a meter a day off as
// a day off.
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

/// Seconds in a day, as a timedelta counts them.
constexpr long seconds_per_day = 86400;

nb::object utc_now(nb::module_ &m) {
    nb::object datetime = m.attr("datetime");
    return datetime.attr("datetime").attr("now")(datetime.attr("timezone").attr("utc"));
}

NORVOX_SITE(fetch_metrics);
nb::object fetch_metrics(nb::module_ m, nb::handle self) {
    nb::object clock_time = self.attr("dederi_client").attr("clock_time_read")(self.attr("serial"));
    nb::object now = utc_now(m);
    // A naive meter clock fails here with the subtraction's TypeError.
    nb::object drift = nb::steal(PyNumber_Absolute((now - clock_time).ptr()));
    if (!drift.is_valid())
        throw nb::python_error();
    // Fractions of a second are dropped; whole days count.
    nb::object diff_seconds = drift.attr("days") * nb::int_(seconds_per_day) + drift.attr("seconds");
    m.attr("logger").attr("info")("clock_time_diff_seconds calculated", "clock_time_diff_seconds"_a = diff_seconds);

    nb::dict updates;
    updates["clock_time_diff_seconds"] = diff_seconds;
    updates["clock_time_diff_synced_at"] = utc_now(m).attr("isoformat")();
    return m.attr("UpdatesTuple")(updates, nb::none());
}

} // namespace

NORVOX_MODULE(clock_offset_syncer, m) {
    import_from(m, "norvox.sync.syncer_base", {"SyncerBase", "UpdatesTuple"});
    import_from(m, "typing_extensions", {"override"});
    norvox::import_modules(m, {"datetime"});
    import_from(m, "norvox.util.logging", {"get_logger"});

    m.attr("logger") = norvox::module_logger(m);

    norvox::make_syncer_class(m, "ClockOffsetSyncer", "How far the meter clock is off the current UTC time.",
                              fetch_metrics_site, &fetch_metrics,
                              "The columns clock_time_diff_seconds (whole seconds off, either way) and "
                              "clock_time_diff_synced_at (ISO 8601, UTC).");
}
