// norvox.jobs.clock_correction: sets the clocks of meters whose recorded drift is too large.
//
// Selects the drifted active meters from meter_shadows (all ESCOs, or one), writes each meter's
// clock through the mediator on a thread pool, resets the meter's drift row and logs the count.
#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/imports.h"
#include "norvox/python/jobs.h"
#include "norvox/python/module.h"
#include "norvox/python/pyclass.h"
#include "norvox/python/runtime.h"
#include "norvox/python/settings.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using norvox::lookup;
using norvox::required;

/// Help text of the `--esco` option.
constexpr const char *esco_help = "Apply clock updates to meters in this ESCO only";

/// The settings check, in order.
constexpr norvox::jobs::RequiredSetting required_settings[] = {
    {{"supabase_url", "supabase_key"}, norvox::jobs::missing_supabase, 2},
    {{"tessel_role_key", nullptr}, norvox::jobs::missing_tessel_role_key, 3},
    {{"mediator_server", nullptr}, norvox::jobs::missing_mediator_server, 5},
};

/// True when `value` is a dict (or a subclass): the rows of a JSON response.
bool is_map(nb::handle value) { return PyDict_Check(value.ptr()); }

/// The row's embedded meter_registry map; an invalid object when the row or it is no map.
nb::object registry_of(nb::handle record) {
    if (!is_map(record))
        return nb::object();
    nb::object registry = lookup(record, "meter_registry");
    return is_map(registry) ? registry : nb::object();
}

bool esco_is_set(nb::handle esco) { return !esco.is_none() && norvox::truthy(esco); }

NORVOX_SITE(init_job);
void init_job(nb::module_ m, nb::handle self, nb::handle esco) {
    self.attr("log") = m.attr("logger").attr("bind")("esco"_a = esco);
    self.attr("_check_environment")();
    for (const char *name : {"supabase_url", "supabase_key", "tessel_role_key"})
        if (m.attr(name).is_none()) {
            PyErr_SetNone(PyExc_AssertionError);
            throw nb::python_error();
        }
    self.attr("esco") = esco;
    self.attr("tessel_supabase") =
        m.attr("supa_client")(m.attr("supabase_url"), m.attr("supabase_key"), m.attr("tessel_role_key"));
}

NORVOX_SITE(run_job);
bool run_job(nb::module_ m, nb::handle self, nb::handle record) {
    norvox::check_exact(record, &PyDict_Type, "meter_drift_record");
    nb::object serial = required(record, "serial");
    nb::object drift = required(record, "clock_time_diff_seconds");
    nb::object meter_id = required(record, "id");
    nb::object log = self.attr("log");
    try {
        nb::object mediator_server = m.attr("mediator_server");
        log.attr("info")("Updating clock", "meter_id"_a = meter_id, "serial"_a = serial,
                         "mediator_address"_a = mediator_server, "drift_seconds"_a = drift);
        nb::object client = m.attr("DederiMediatorAPI")("mediator_address"_a = mediator_server);
        client.attr("clock_time_write")(serial);

        nb::object datetime = m.attr("datetime");
        nb::object now = datetime.attr("datetime").attr("now")(datetime.attr("timezone").attr("utc"));
        nb::dict reset;
        reset["clock_time_diff_seconds"] = 0;
        reset["clock_time_diff_synced_at"] = now.attr("isoformat")();
        self.attr("tessel_supabase")
            .attr("table")("meter_shadows")
            .attr("update")(reset)
            .attr("eq")("id", meter_id)
            .attr("execute")();

        log.attr("info")("Clock update successful", "serial"_a = serial);
        return true;
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, run_job_site);
        if (nb::isinstance(error, m.attr("MediatorClientException"))) {
            if (nb::str(error.attr("code_str")).equal(nb::str("DEADLINE_EXCEEDED")))
                log.attr("error")("Deadline exceeded updating clock", "serial"_a = serial, "error"_a = nb::str(error));
            else
                log.attr("error")("Mediator client error updating clock", "serial"_a = serial, "error"_a = error,
                                  "exception"_a = norvox::traceback_lines(error));
        } else {
            log.attr("error")("Failure occurred updating clock", "serial"_a = serial, "error"_a = error,
                              "exception"_a = norvox::traceback_lines(error));
        }
        return false;
    }
}

NORVOX_SITE(run);
void run(nb::module_ m, nb::handle self) {
    nb::object log = self.attr("log");
    nb::object esco = self.attr("esco");
    bool by_esco = esco_is_set(esco);
    log.attr("info")("Starting clock correction job...");

    nb::object threshold = m.attr("drift_threshold_seconds");
    nb::object rows;
    try {
        std::string select = "clock_time_diff_seconds, id, meter_registry!inner(serial, mode";
        if (by_esco)
            select += ", escos!inner(code)";
        select += ")";
        nb::object query = self.attr("tessel_supabase")
                               .attr("table")("meter_shadows")
                               .attr("select")(nb::str(select.c_str(), select.size()))
                               .attr("gt")("clock_time_diff_seconds", threshold)
                               .attr("eq")("meter_registry.mode", "active");
        if (by_esco)
            query = query.attr("eq")("meter_registry.escos.code", esco);
        rows = query.attr("execute")().attr("data");
        log.attr("info")("Raw database response", "data"_a = rows);
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, run_site);
        log.attr("error")("Failed to query meter_shadows", "error"_a = error);
        norvox::exit_with(1);
    }

    nb::object records = rows;
    if (by_esco) {
        // The service already filtered by the code; keep only exact (case-sensitive) matches.
        nb::list kept;
        for (nb::handle record : records) {
            nb::object registry = registry_of(record);
            if (!registry.is_valid())
                continue;
            nb::object company = lookup(registry, "escos");
            if (is_map(company) && lookup(company, "code").equal(esco))
                kept.append(record);
        }
        log.attr("info")(nb::str("Post-filtered by esco {}").format(esco), "original_count"_a = nb::len(rows),
                         "filtered_count"_a = nb::len(kept));
        records = kept;
    }

    nb::list drifted;
    for (nb::handle record : records) {
        nb::object registry = registry_of(record);
        if (!registry.is_valid())
            continue;
        nb::dict item;
        item["id"] = required(record, "id");
        item["serial"] = required(registry, "serial");
        item["clock_time_diff_seconds"] = required(record, "clock_time_diff_seconds");
        drifted.append(item);
    }
    log.attr("info")(nb::str("Found {} meters with clock drift > {}s").format(nb::len(drifted), threshold),
                     "drifted_meters"_a = drifted);
    if (nb::len(drifted) == 0) {
        log.attr("info")("No meters to update.");
        return;
    }

    nb::list futures = norvox::jobs::run_on_pool(log, m.attr("max_parallel_jobs"), self.attr("run_job"), drifted);
    size_t success = norvox::jobs::count_successes(futures);
    log.attr("info")(nb::str("Finished clock update job. Success: {}/{}").format(success, nb::len(drifted)));
}

} // namespace

NORVOX_MODULE(clock_correction, m) {
    // Standard facilities, then the mediator client, logging and the database client.
    norvox::import_modules(m, {"argparse", "concurrent.futures", "datetime", "os", "sys", "traceback"});
    norvox::import_from(m, "norvox.mediator.api_core", {"DederiMediatorAPI"});
    norvox::import_from(m, "norvox.mediator.mediator_client_exception", {"MediatorClientException"});
    norvox::import_from(m, "norvox.util.logging", {"get_logger"});
    norvox::import_from(m, "norvox.util.supabase", {"supa_client"});

    m.attr("logger") = norvox::module_logger(m);

    m.attr("supabase_url") = norvox::env_text("SUPABASE_URL");
    m.attr("supabase_key") = norvox::env_text("SUPABASE_ANON_KEY");
    m.attr("tessel_role_key") = norvox::env_text("TESSEL_ROLE_KEY");
    m.attr("max_parallel_jobs") = norvox::env_int("MAX_PARALLEL_JOBS", 5);
    m.attr("drift_threshold_seconds") = norvox::env_int("DRIFT_THRESHOLD_SECONDS", 20);
    m.attr("mediator_server") = norvox::env_text("MEDIATOR_SERVER");

    nb::dict ns;
    ns["__doc__"] = "Corrects the clocks of drifted meters, all ESCOs or one.";
    norvox::add_method(ns, m, "__init__", init_job_site, &init_job, nb::arg("esco").none() = nb::none(),
                       nb::sig("def __init__(self, esco: str | None = None) -> None"));
    norvox::add_method(ns, m, "run_job", run_job_site, &run_job, nb::arg("meter_drift_record").none(),
                       nb::sig("def run_job(self, meter_drift_record: dict[str, typing.Any]) -> bool"),
                       "Correct one meter's clock and reset its drift row; false when that failed.");
    norvox::add_method(ns, m, "run", run_site, &run, nb::sig("def run(self) -> None"),
                       "Select the drifted meters and correct them on a thread pool.");
    norvox::jobs::add_settings_check(ns, m, required_settings);
    norvox::make_class(m, "ClockCorrectionJob", nb::make_tuple(), ns);

    norvox::def(
        m, "main", NORVOX_HERE, [m]() { norvox::jobs::run_esco_program(m, "ClockCorrectionJob", esco_help); },
        nb::sig("def main() -> None"), "The clock_correction program.");
}
