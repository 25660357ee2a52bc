// norvox.jobs.prepay_switch_off: switches prepay mode off on the prepay-enabled meters of one ESCO.
//
// PrepaySwitchOffJob clears one meter's prepay flag through its mediator; PrepaySwitchOffAllJob
// finds the ESCO by its code (whole, regardless of case), selects its prepay-enabled meters and
// runs one PrepaySwitchOffJob per meter on a pool of fifteen workers, then logs the count.
#include <string>
#include <string_view>

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
using norvox::required;

namespace {

/// Workers of the fleet job's pool, whatever MAX_PARALLEL_JOBS holds.
constexpr int pool_workers = 15;

/// Help text of the `--esco` option.
constexpr const char *esco_help = "Flip meters in this ESCO only";

/// The settings check, in order.
constexpr norvox::jobs::RequiredSetting required_settings[] = {
    {{"supabase_url", "supabase_key"}, norvox::jobs::missing_supabase, 2},
    {{"tessel_role_key", nullptr}, norvox::jobs::missing_tessel_role_key, 3},
    {{"mediator_server", nullptr}, norvox::jobs::missing_mediator_server, 4},
};

/// The ESCO code as an ILIKE pattern that matches that code alone, regardless of case: the
/// escape character, `%` and `_` are escaped so they stand for themselves.
std::string whole_code_pattern(std::string_view code) {
    std::string pattern;
    pattern.reserve(code.size() + 4);
    for (char ch : code) {
        if (ch == '\\' || ch == '%' || ch == '_')
            pattern += '\\';
        pattern += ch;
    }
    return pattern;
}

// --- PrepaySwitchOffJob: one meter -------------------------------------------------------------

NORVOX_SITE(init_meter_job);
void init_meter_job(nb::module_ m, nb::handle self, nb::handle meter, nb::handle mediator_address,
                    nb::handle supabase) {
    norvox::check_exact(meter, &PyDict_Type, "meter");
    norvox::check_exact(mediator_address, &PyUnicode_Type, "mediator_address");
    self.attr("meter") = meter;
    self.attr("mediator_address") = mediator_address;
    self.attr("supabase") = supabase;
    self.attr("dederi_client") = m.attr("DederiPrepayAPI")("mediator_address"_a = mediator_address);
    nb::object serial = required(meter, "serial");
    nb::object meter_id = required(meter, "id");
    self.attr("log") = m.attr("logger").attr("bind")("serial"_a = serial, "meter_id"_a = meter_id,
                                                     "mediator_address"_a = mediator_address);
}

NORVOX_SITE(update_meter);
bool update_meter(nb::module_ m, nb::handle self) {
    try {
        nb::object serial = required(self.attr("meter"), "serial");
        self.attr("dederi_client").attr("prepay_enabled_write")(serial, false);
        self.attr("log").attr("info")("prepay disabled");
        return true;
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, update_meter_site);
        const char *message = nb::isinstance(error, m.attr("MediatorClientException"))
                                  ? "Mediator client failure"
                                  : "Unknown failure during prepay_enabled flag disable";
        self.attr("log").attr("error")(message, "error"_a = error, "exception"_a = norvox::traceback_lines(error));
        return false;
    }
}

// --- PrepaySwitchOffAllJob: the ESCO's meters ---------------------------------------------------

NORVOX_SITE(init_fleet_job);
void init_fleet_job(nb::module_ m, nb::handle self, nb::handle esco) {
    self.attr("log") = m.attr("logger").attr("bind")("esco"_a = esco);
    self.attr("_check_environment")();
    self.attr("esco") = esco;
    self.attr("tessel_supabase") =
        m.attr("supa_client")(m.attr("supabase_url"), m.attr("supabase_key"), m.attr("tessel_role_key"));
}

NORVOX_SITE(run_job);
nb::object run_job(nb::module_ m, nb::handle self, nb::handle meter_row) {
    nb::object log = self.attr("log");
    log.attr("info")(nb::str("run_job for meter_row ") + nb::str(meter_row));
    nb::object meter_id = required(meter_row, "id");
    nb::object serial = required(meter_row, "serial");
    nb::str mediator_address = nb::str(m.attr("mediator_server"));
    nb::dict arguments;
    arguments["meter"] = meter_row;
    arguments["mediator_address"] = mediator_address;
    arguments["supabase"] = self.attr("tessel_supabase");
    return norvox::jobs::update_one_meter(log, meter_id, serial, mediator_address, m.attr("PrepaySwitchOffJob"),
                                          arguments);
}

NORVOX_SITE(run);
void run(nb::module_ m, nb::handle self) {
    nb::object log = self.attr("log");
    log.attr("info")("Starting prepay_switch_off job...");
    nb::object esco = self.attr("esco");
    if (esco.is_none()) {
        // Meters are only ever selected through one ESCO's id: without a code there is no work.
        log.attr("error")("--esco is required: give the code of the ESCO whose meters to switch off");
        norvox::exit_with(1);
    }
    nb::str code = nb::str(esco);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(code.ptr(), &size);
    if (utf8 == nullptr)
        throw nb::python_error();
    std::string_view text(utf8, static_cast<size_t>(size));
    if (text.find('*') != std::string_view::npos) {
        // The service reads every '*' of a pattern as '%', with no escape: such a code could
        // only be matched as a wildcard, selecting other ESCOs.
        log.attr("error")("ESCO code cannot hold '*': the database service reads it as a wildcard");
        norvox::exit_with(1);
    }
    nb::object db = self.attr("tessel_supabase");
    std::string pattern = whole_code_pattern(text);
    nb::object escos = db.attr("table")("escos")
                           .attr("select")("id")
                           .attr("ilike")("code", nb::str(pattern.data(), pattern.size()))
                           .attr("execute")();
    size_t matches = nb::len(m.attr("as_list")(escos));
    if (matches == 0) {
        log.attr("error")(nb::str("no esco found for ") + code);
        norvox::exit_with(10);
    }
    if (matches > 1) {
        // Codes that differ only in case: any one of them would be an arbitrary choice.
        log.attr("error")(nb::str("Several ESCOs match ") + code, "count"_a = matches);
        norvox::exit_with(1);
    }
    nb::object esco_id = required(m.attr("as_first_item")(escos), "id");

    nb::object meters = db.attr("table")("meter_registry")
                            .attr("select")("*")
                            .attr("eq")("esco", esco_id)
                            .attr("eq")("prepay_enabled", true)
                            .attr("neq")("hardware", "P1.ax")
                            .attr("neq")("hardware", "P1.cx")
                            .attr("execute")();
    if (nb::len(m.attr("as_list")(meters)) == 0) {
        log.attr("error")("No meter found to disable");
        norvox::exit_with(10);
    }
    nb::object rows = m.attr("as_list")(meters);
    size_t count = nb::len(rows);
    log.attr("info")(nb::str("Processing {} meters").format(count));

    nb::list futures = norvox::jobs::run_on_pool(log, nb::int_(pool_workers), self.attr("run_job"), rows);
    size_t success = 0;
    for (nb::handle future : futures) {
        try {
            if (norvox::truthy(future.attr("result")()))
                ++success;
        } catch (nb::python_error &e) {
            nb::object error = norvox::caught(e, run_site);
            log.attr("error")(nb::str("Error processing meter: ") + nb::str(error));
        }
    }
    log.attr("info")(nb::str("Finished prepay_switch_off job. Success: {}/{}").format(success, count));
}

} // namespace

NORVOX_MODULE(prepay_switch_off, m) {
    norvox::import_modules(m, {"argparse", "concurrent.futures", "os", "sys", "traceback"});
    norvox::import_from(m, "norvox.mediator.api_prepay", {"DederiPrepayAPI"});
    norvox::import_from(m, "norvox.mediator.mediator_client_exception", {"MediatorClientException"});
    norvox::import_from(m, "norvox.util.logging", {"get_logger"});
    // The database client type, kept under the name the per-meter job's field is typed with.
    m.attr("SupabaseClient") = nb::module_::import_("norvox.util.supabase").attr("Client");
    norvox::import_from(m, "norvox.util.supabase", {"supa_client", "as_list", "as_first_item"});

    m.attr("logger") = norvox::module_logger(m);

    m.attr("supabase_url") = norvox::env_text("SUPABASE_URL");
    m.attr("supabase_key") = norvox::env_text("SUPABASE_ANON_KEY");
    m.attr("tessel_role_key") = norvox::env_text("TESSEL_ROLE_KEY");
    m.attr("mediator_server") = norvox::env_text("MEDIATOR_SERVER");

    nb::dict one;
    one["__doc__"] = "Switches prepay mode off on one meter through its mediator.";
    norvox::add_method(one, m, "__init__", init_meter_job_site, &init_meter_job, nb::kw_only(), nb::arg("meter").none(),
                       nb::arg("mediator_address").none(), nb::arg("supabase").none(),
                       nb::sig("def __init__(self, *, meter: dict[str, typing.Any], mediator_address: str, "
                               "supabase: supabase.Client) -> None"));
    norvox::add_method(one, m, "update", update_meter_site, &update_meter, nb::sig("def update(self) -> bool"),
                       "Update the prepay_enabled flag on the meter.\n"
                       "Returns True if successful, False if failed.");
    norvox::make_class(m, "PrepaySwitchOffJob", nb::make_tuple(), one);

    nb::dict all;
    all["__doc__"] = "Switches prepay mode off on the prepay-enabled meters of one ESCO.";
    norvox::add_method(all, m, "__init__", init_fleet_job_site, &init_fleet_job, nb::arg("esco").none() = nb::none(),
                       nb::sig("def __init__(self, esco: str | None = None) -> None"));
    norvox::add_method(all, m, "run_job", run_job_site, &run_job, nb::arg("meter_row").none(),
                       nb::sig("def run_job(self, meter_row: dict[str, typing.Any]) -> bool"),
                       "Switch one meter off; true when it was.");
    norvox::add_method(all, m, "run", run_site, &run, nb::sig("def run(self) -> None"),
                       "Find the ESCO, select its prepay-enabled meters and switch them off.");
    norvox::jobs::add_settings_check(all, m, required_settings);
    norvox::make_class(m, "PrepaySwitchOffAllJob", nb::make_tuple(), all);

    norvox::def(
        m, "main", NORVOX_HERE, [m]() { norvox::jobs::run_esco_program(m, "PrepaySwitchOffAllJob", esco_help); },
        nb::sig("def main() -> None"), "The prepay_switch_off program.");
}
