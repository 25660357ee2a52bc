// norvox.jobs.wallet_refill: reports the prepay meters whose wallet needs a top-up.
//
// Reads every ambrel meter with its wallet; a meter below its wallet's minimum by the recorded
// balance, with automatic top-up on, has its live balance read through the mediator, and is
// reported on standard output when that is still below the minimum. One meter after another.
#include <cmath>
#include <string>

#include <nanobind/nanobind.h>

#include "norvox/python/imports.h"
#include "norvox/python/jobs.h"
#include "norvox/python/module.h"
#include "norvox/python/pyclass.h"
#include "norvox/python/runtime.h"
#include "norvox/python/settings.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::lookup;
using norvox::required;

namespace {

/// The settings check, in order; TESSEL_ROLE_KEY may be unset.
constexpr norvox::jobs::RequiredSetting required_settings[] = {
    {{"supabase_url", "supabase_key"}, norvox::jobs::missing_supabase, 2},
    {{"public_backend_role_key", nullptr}, norvox::jobs::missing_public_backend_role_key, 3},
    {{"fly_region", nullptr}, norvox::jobs::missing_fly_region, 4},
    {{"mediator_server", nullptr}, norvox::jobs::missing_mediator_server, 5},
};

/// The meters with their wallets; sent as written (the client drops the white space).
constexpr const char *select_text =
    "\n"
    "                    id,\n"
    "                    serial,\n"
    "                    balance,\n"
    "                    wallet,\n"
    "                    wallets(id, balance, minimum_balance, target_balance, auto_topup)\n"
    "                    ";

NORVOX_SITE(init_job);
void init_job(nb::module_ m, nb::handle self) {
    self.attr("log") = m.attr("logger");
    self.attr("_check_environment")();
    nb::object url = m.attr("supabase_url"), key = m.attr("supabase_key");
    self.attr("backend_supabase") =
        m.attr("supa_client")(url, key, m.attr("public_backend_role_key"), "schema"_a = "ambrel");
    self.attr("tessel_supabase") = m.attr("supa_client")(url, key, m.attr("tessel_role_key"), "schema"_a = "tessel");
    self.attr("FLY_REGION") = m.attr("fly_region");
}

/// `a < b` as Python compares.
bool less(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

/// Refuse a live balance that is a real number but not a finite one (NaN, an infinity), with a
/// ValueError: no meter holds such a balance, and NaN compares false with every minimum.
/// Rationals, integers among them, are always finite.
void check_finite(nb::handle balance) {
    bool finite = true;
    if (PyFloat_Check(balance.ptr())) {
        finite = std::isfinite(PyFloat_AS_DOUBLE(balance.ptr()));
    } else {
        nb::module_ numbers = nb::module_::import_("numbers");
        if (nb::isinstance(balance, numbers.attr("Real")) && !nb::isinstance(balance, numbers.attr("Rational")))
            finite = norvox::truthy(nb::module_::import_("math").attr("isfinite")(balance));
    }
    if (!finite) {
        PyErr_Format(PyExc_ValueError, "The meter's balance is not a finite number: %R", balance.ptr());
        throw nb::python_error();
    }
}

/// The live check of one meter below its minimum with top-up on: appends its top-up record
/// when the meter's own balance is still below the minimum. A live balance that is no finite
/// number fails the check.
void check_live_balance(nb::module_ m, nb::handle log, nb::handle meter, nb::handle wallet, nb::handle wallet_minimum,
                        nb::list &needing_topup) {
    nb::str mediator_address = nb::str(m.attr("mediator_server"));
    nb::object client = m.attr("DederiPrepayAPI")("mediator_address"_a = mediator_address,
                                                  "logging_level"_a = m.attr("logging").attr("INFO"));
    nb::object latest = client.attr("prepay_balance")(required(meter, "serial"));
    check_finite(latest);
    log.attr("info")("Fetched latest prepay balance from meter", "serial"_a = required(meter, "serial"),
                     "latest_balance"_a = latest, "wallet_minimum_balance"_a = wallet_minimum);
    if (less(latest, wallet_minimum)) {
        nb::dict record;
        record["meter_id"] = required(meter, "id");
        record["serial"] = required(meter, "serial");
        record["meter_balance"] = latest;
        record["wallet_id"] = required(wallet, "id");
        record["wallet_minimum_balance"] = wallet_minimum;
        record["wallet_target_balance"] = lookup(wallet, "target_balance");
        record["wallet_current_balance"] = lookup(wallet, "balance");
        needing_topup.append(record);
        log.attr("info")("Meter needs topup", "meter_id"_a = record["meter_id"], "serial"_a = record["serial"],
                         "meter_balance"_a = latest, "wallet_minimum_balance"_a = wallet_minimum);
    } else {
        log.attr("info")("Meter balance is now above minimum (likely topped up)", "meter_id"_a = required(meter, "id"),
                         "serial"_a = required(meter, "serial"), "latest_balance"_a = latest,
                         "wallet_minimum_balance"_a = wallet_minimum);
    }
}

/// The report of the meters needing a top-up, as printed after the summary line.
nb::str report(const nb::list &needing_topup) {
    static constexpr const char *labels[][2] = {
        {"Meter ID: ", "meter_id"},
        {"  Serial: ", "serial"},
        {"  Meter Balance: ", "meter_balance"},
        {"  Wallet ID: ", "wallet_id"},
        {"  Wallet Minimum Balance: ", "wallet_minimum_balance"},
        {"  Wallet Target Balance: ", "wallet_target_balance"},
        {"  Wallet Current Balance: ", "wallet_current_balance"},
    };
    nb::list lines;
    lines.append("");
    lines.append("=== METERS NEEDING TOPUP ===");
    for (nb::handle record : needing_topup) {
        lines.append("");
        for (const auto &[label, key] : labels)
            lines.append(nb::str(label) + nb::str(required(record, key)));
    }
    lines.append("");
    lines.append(nb::str("Total meters needing topup: {}").format(nb::len(needing_topup)));
    lines.append("=== END RESULTS ===");
    lines.append("");
    // Every line, the last empty one included, ends with a line feed.
    return nb::str(nb::str("\n").attr("join")(lines) + nb::str("\n"));
}

NORVOX_SITE(run);
void run(nb::module_ m, nb::handle self) {
    nb::object log = self.attr("log");
    log.attr("info")("Starting wallet_refill job...");
    try {
        nb::object query_result =
            self.attr("backend_supabase").attr("table")("meters").attr("select")(select_text).attr("execute")();
        nb::list needing_topup;
        for (nb::handle meter : m.attr("as_list")(query_result)) {
            nb::object wallet = lookup(meter, "wallets");
            if (wallet.is_none()) {
                log.attr("warning")("Meter has no associated wallet", "meter_id"_a = required(meter, "id"),
                                    "serial"_a = required(meter, "serial"));
                continue;
            }
            nb::object meter_balance = lookup(meter, "balance");
            nb::object wallet_minimum = lookup(wallet, "minimum_balance");
            nb::object auto_topup = lookup(wallet, "auto_topup");
            if (meter_balance.is_none() || !less(meter_balance, wallet_minimum))
                continue;
            if (!norvox::truthy(auto_topup)) {
                log.attr("info")("Meter below minimum but auto_topup disabled", "meter_id"_a = required(meter, "id"),
                                 "serial"_a = required(meter, "serial"), "meter_balance"_a = meter_balance,
                                 "wallet_minimum_balance"_a = wallet_minimum);
                continue;
            }
            try {
                check_live_balance(m, log, meter, wallet, wallet_minimum, needing_topup);
            } catch (nb::python_error &e) {
                nb::object error = norvox::caught(e, run_site);
                log.attr("warning")("Failed to fetch latest balance from meter", "meter_id"_a = required(meter, "id"),
                                    "serial"_a = required(meter, "serial"), "error"_a = error);
            }
        }
        size_t count = nb::len(needing_topup);
        log.attr("info")(nb::str("Found {} meters needing topup").format(count), "count"_a = count);
        nb::module_::import_("sys").attr("stdout").attr("write")(report(needing_topup));
    } catch (nb::python_error &e) {
        nb::object error = norvox::caught(e, run_site);
        if (nb::isinstance(error, m.attr("ConnectError"))) {
            m.attr("handle_supabase_faliure")(log, error);
            norvox::exit_with(5);
        }
        log.attr("error")("Failure occurred during wallet_refill job", "error"_a = error,
                          "exception"_a = norvox::traceback_lines(error));
        norvox::exit_with(6);
    }
}

void main_program(nb::module_ m) {
    m.attr("runner") = m.attr("WalletRefillJob")();
    m.attr("runner").attr("run")();
}

} // namespace

NORVOX_MODULE(wallet_refill, m) {
    norvox::import_modules(m, {"logging", "os", "sys", "traceback"});
    norvox::import_from(m, "httpx", {"ConnectError"});
    norvox::import_from(m, "norvox.mediator.api_prepay", {"DederiPrepayAPI"});
    norvox::import_from(m, "norvox.util.logging", {"get_logger"});
    norvox::import_from(m, "norvox.util.supabase", {"supa_client", "as_list"});
    norvox::import_from(m, "norvox.jobs.util", {"handle_supabase_faliure"});

    m.attr("logger") = norvox::module_logger(m);

    m.attr("supabase_url") = norvox::env_text("SUPABASE_URL");
    m.attr("supabase_key") = norvox::env_text("SUPABASE_ANON_KEY");
    m.attr("public_backend_role_key") = norvox::env_text("PUBLIC_BACKEND_ROLE_KEY");
    m.attr("tessel_role_key") = norvox::env_text("TESSEL_ROLE_KEY");
    m.attr("fly_region") = norvox::env_text("FLY_REGION");
    m.attr("mediator_server") = norvox::env_text("MEDIATOR_SERVER");

    nb::dict ns;
    ns["__doc__"] = "Finds the meters whose wallet needs a top-up and reports them.";
    norvox::add_method(ns, m, "__init__", init_job_site, &init_job, nb::sig("def __init__(self) -> None"));
    norvox::jobs::add_settings_check(ns, m, required_settings);
    norvox::add_method(ns, m, "run", run_site, &run, nb::sig("def run(self) -> None"),
                       "Find all meters where current balance is less than wallet minimum_balance.");
    norvox::make_class(m, "WalletRefillJob", nb::make_tuple(), ns);

    norvox::def(
        m, "main", NORVOX_HERE, [m]() { main_program(m); }, nb::sig("def main() -> None"),
        "The wallet_refill program.");
}
