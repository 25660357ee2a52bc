// norvox.jobs.pending_tariff_push: pushes future tariffs to the meters of one ESCO that lack them.
//
// Asks the ambrel procedure meters_missing_future_tariffs for the work rows, makes their float
// values exact decimals, and on a thread pool hands each row whose meter is active in the tessel
// registry to the single-meter TariffPushJob; logs how many pushes succeeded.
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

/// Help text of the `--esco` option.
constexpr const char *esco_help = "Apply tariff updates to meters in this ESCO only";

/// The settings check, in order.
constexpr norvox::jobs::RequiredSetting required_settings[] = {
    {{"supabase_url", "supabase_key"}, norvox::jobs::missing_supabase, 2},
    {{"tessel_role_key", nullptr}, norvox::jobs::missing_tessel_role_key, 3},
    {{"public_backend_role_key", nullptr}, norvox::jobs::missing_public_backend_role_key, 4},
    {{"mediator_server", nullptr}, norvox::jobs::missing_mediator_server, 5},
};

NORVOX_SITE(init_job);
void init_job(nb::module_ m, nb::handle self, nb::handle esco) {
    self.attr("log") = m.attr("logger").attr("bind")("esco"_a = esco);
    self.attr("_check_environment")();
    self.attr("esco") = esco;
    nb::object url = m.attr("supabase_url"), key = m.attr("supabase_key");
    self.attr("tessel_supabase") = m.attr("supa_client")(url, key, m.attr("tessel_role_key"));
    self.attr("backend_supabase") =
        m.attr("supa_client")(url, key, m.attr("public_backend_role_key"), "schema"_a = "ambrel");
}

NORVOX_SITE(run_job);
nb::object run_job(nb::module_ m, nb::handle self, nb::handle tariff) {
    nb::object log = self.attr("log");
    nb::object meter_id = required(tariff, "meter_id");
    nb::object serial = required(tariff, "serial");
    nb::object registry = self.attr("tessel_supabase")
                              .attr("table")("meter_registry")
                              .attr("select")("*")
                              .attr("eq")("serial", serial)
                              .attr("eq")("mode", "active")
                              .attr("execute")();
    if (nb::len(m.attr("as_list")(registry)) == 0) {
        log.attr("error")(nb::str("No active meter found in meter_registry with serial ") + nb::str(serial));
        return nb::bool_(false);
    }
    meter_id = required(m.attr("as_first_item")(registry), "id");
    nb::str mediator_address = nb::str(m.attr("mediator_server"));
    nb::dict arguments;
    arguments["tariff"] = tariff;
    arguments["mediator_address"] = mediator_address;
    arguments["supabase"] = self.attr("backend_supabase");
    return norvox::jobs::update_one_meter(log, meter_id, serial, mediator_address, m.attr("TariffPushJob"), arguments);
}

NORVOX_SITE(convert_floats_to_decimal);
nb::list convert_floats_to_decimal(nb::module_ m, nb::handle data_list) {
    norvox::check_exact(data_list, &PyList_Type, "data_list");
    nb::object decimal = m.attr("Decimal");
    nb::list converted;
    for (nb::handle item : data_list) {
        if (!PyDict_Check(item.ptr())) {
            converted.append(item);
            continue;
        }
        nb::dict row;
        // The map's own items, in its own order (an ordered map's may differ from insertion).
        for (nb::handle pair : item.attr("items")()) {
            nb::object key = pair[0], value = pair[1];
            // The float's text form is its shortest round-trip decimal: 0.1 becomes exactly 0.1.
            // Taken from the number itself, as float's repr gives it, whatever a subclass's str().
            if (PyFloat_Check(value.ptr())) {
                nb::object text = nb::steal(PyFloat_Type.tp_repr(value.ptr()));
                if (!text.is_valid())
                    throw nb::python_error();
                row[key] = decimal(text);
            } else
                row[key] = value;
        }
        converted.append(row);
    }
    return converted;
}

NORVOX_SITE(future_tariffs_to_update);
nb::object future_tariffs_to_update(nb::handle self, nb::handle esco) {
    norvox::check_exact(esco, &PyUnicode_Type, "esco");
    nb::dict params;
    params["esco_code_in"] = esco;
    nb::object response =
        self.attr("backend_supabase").attr("rpc")("meters_missing_future_tariffs", params).attr("execute")();
    nb::object log = self.attr("log");
    log.attr("info")(nb::str("meters_missing_future_tariffs response [") + nb::str(response) + nb::str("]"));
    nb::object data = response.attr("data");
    if (!PyList_Check(data.ptr())) {
        log.attr("warning")("RPC call 'meters_missing_future_tariffs' returned unexpected data type",
                            "data_type"_a = data.type().attr("__name__"), "data"_a = data);
        return nb::list();
    }
    return self.attr("_convert_floats_to_decimal")(data);
}

NORVOX_SITE(run);
void run(nb::module_ m, nb::handle self) {
    nb::object log = self.attr("log");
    log.attr("info")("Starting pending tariff push job...");
    nb::object tariffs = self.attr("future_tariffs_to_update")(self.attr("esco"));
    log.attr("info")(nb::str("response JSON [") + nb::str(tariffs) + nb::str("]"));
    size_t count = nb::len(tariffs);
    if (count == 0) {
        log.attr("info")(nb::str("No tariffs to update for ") + nb::str(self.attr("esco")));
        norvox::exit_with(10);
    }
    log.attr("info")(nb::str("Processing {} future tariff updates").format(count));
    nb::list futures = norvox::jobs::run_on_pool(log, m.attr("max_parallel_jobs"), self.attr("run_job"), tariffs);
    size_t success = norvox::jobs::count_successes(futures);
    log.attr("info")(nb::str("Finished tariffs update all job. Success: {}/{}").format(success, count));
}

} // namespace

NORVOX_MODULE(pending_tariff_push, m) {
    norvox::import_modules(m, {"argparse", "concurrent.futures", "os", "sys", "traceback"});
    norvox::import_from(m, "decimal", {"Decimal"});
    norvox::import_from(m, "norvox.jobs.tariff_push", {"TariffPushJob"});
    norvox::import_from(m, "norvox.util.logging", {"get_logger"});
    norvox::import_from(m, "norvox.util.supabase", {"as_first_item", "as_list", "supa_client"});

    m.attr("logger") = norvox::module_logger(m);

    m.attr("supabase_url") = norvox::env_text("SUPABASE_URL");
    m.attr("supabase_key") = norvox::env_text("SUPABASE_ANON_KEY");
    m.attr("tessel_role_key") = norvox::env_text("TESSEL_ROLE_KEY");
    m.attr("public_backend_role_key") = norvox::env_text("PUBLIC_BACKEND_ROLE_KEY");
    m.attr("max_parallel_jobs") = norvox::env_int("MAX_PARALLEL_JOBS", 5);
    m.attr("mediator_server") = norvox::env_text("MEDIATOR_SERVER");

    nb::dict ns;
    ns["__doc__"] = "Pushes future tariffs to the meters of one ESCO that lack them.";
    norvox::add_method(ns, m, "__init__", init_job_site, &init_job, nb::arg("esco").none() = nb::none(),
                       nb::sig("def __init__(self, esco: str | None = None) -> None"));
    norvox::add_method(ns, m, "run_job", run_job_site, &run_job, nb::arg("tariff").none(),
                       nb::sig("def run_job(self, tariff: dict[str, typing.Any]) -> bool"),
                       "Push one work row to its meter when the meter is active; the push's result, or false.");
    norvox::add_method(ns, m, "run", run_site, &run, nb::sig("def run(self) -> None"),
                       "List the ESCO's meters missing future tariffs and push them on a thread pool.");
    norvox::add_callable_method(
        ns, m, "future_tariffs_to_update", future_tariffs_to_update_site,
        [](nb::handle self, nb::handle esco) { return future_tariffs_to_update(self, esco); }, nb::arg("esco").none(),
        nb::sig("def future_tariffs_to_update(self, esco: str) -> list[typing.Any]"),
        "The ESCO's work rows from meters_missing_future_tariffs, floats made exact; empty when the "
        "procedure returned no list.");
    norvox::add_callable_method(
        ns, m, "_convert_floats_to_decimal", convert_floats_to_decimal_site,
        [m](nb::handle, nb::handle data_list) { return convert_floats_to_decimal(m, data_list); },
        nb::arg("data_list").none(),
        nb::sig("def _convert_floats_to_decimal(self, data_list: list[typing.Any]) -> list[typing.Any]"),
        "A new list whose maps have their float values as Decimal made from the float's text form.");
    norvox::jobs::add_settings_check(ns, m, required_settings);
    norvox::make_class(m, "PendingTariffPushJob", nb::make_tuple(), ns);

    norvox::def(
        m, "main", NORVOX_HERE, [m]() { norvox::jobs::run_esco_program(m, "PendingTariffPushJob", esco_help); },
        nb::sig("def main() -> None"), "The pending_tariff_push program.");
}
