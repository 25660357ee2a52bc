// What the fleet job programs share: the settings check, the thread pool's scope with its
// interrupt handling and the success count, and the `--esco` command line.
#pragma once

#include <cstddef>
#include <span>

#include <nanobind/nanobind.h>

#include "norvox/python/args.h"
#include "norvox/python/runtime.h"

namespace norvox::jobs {

namespace nb = nanobind;
using namespace nb::literals;

/// Messages of the missing settings, as every job logs them.
inline constexpr const char *missing_supabase = "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set.";
inline constexpr const char *missing_tessel_role_key = "Environment variable TESSEL_ROLE_KEY not set.";
inline constexpr const char *missing_public_backend_role_key = "Environment variable PUBLIC_BACKEND_ROLE_KEY not set.";
inline constexpr const char *missing_fly_region = "Environment variable FLY_REGION not set.";
inline constexpr const char *missing_mediator_server = "Environment variable MEDIATOR_SERVER not set.";

/// One row of a job's settings check: the module globals that must all be set and non-empty
/// (the second may be null), the message logged when one is not, and the exit status.
struct RequiredSetting {
    const char *globals[2];
    const char *message;
    int status;
};

/// Test the settings in table order; at the first one missing (unset or empty), log its
/// message at error level through `log` and end the process with its status.
inline void check_settings(nb::handle m, nb::handle log, std::span<const RequiredSetting> table) {
    for (const RequiredSetting &setting : table) {
        for (const char *name : setting.globals) {
            if (name != nullptr && !norvox::truthy(m.attr(name))) {
                log.attr("error")(setting.message);
                exit_with(setting.status);
            }
        }
    }
}

/// The job class's `_check_environment` method: check_settings through the job's `log`.
inline void add_settings_check(nb::dict &ns, nb::module_ m, std::span<const RequiredSetting> table) {
    norvox::add_callable_method(
        ns, m, "_check_environment", NORVOX_HERE,
        [m, table](nb::handle self) { check_settings(m, self.attr("log"), table); },
        nb::sig("def _check_environment(self) -> None"));
}

/// While it lives on the main thread, SIGTERM (when the process left it at its default, which
/// ends the process at once) raises SystemExit(143) there instead, so that a job stopped by a
/// scheduler winds its pool down as after Ctrl-C. The earlier handling comes back with `restore`
/// or at the latest when the guard goes.
class TerminationGuard {
public:
    TerminationGuard() {
        nb::module_ threading = nb::module_::import_("threading");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")()))
            return;
        nb::module_ signal = nb::module_::import_("signal");
        nb::object number = signal.attr("SIGTERM");
        nb::object current = signal.attr("getsignal")(number);
        if (!current.is(signal.attr("SIG_DFL")))
            return; // a handler of the caller's, or ignored: theirs to keep
        nb::list tripped = tripped_;
        nb::object handler = nb::cpp_function(
            [tripped](nb::handle signum, nb::handle) {
                if (PyList_Append(tripped.ptr(), signum.ptr()) != 0)
                    throw nb::python_error();
                exit_with(terminated_status);
            },
            nb::arg("signum"), nb::arg("frame").none());
        signal.attr("signal")(number, handler);
        signal_ = signal;
        previous_ = current;
    }
    ~TerminationGuard() { restore(); }
    TerminationGuard(const TerminationGuard &) = delete;
    TerminationGuard &operator=(const TerminationGuard &) = delete;

    /// True once SIGTERM arrived while the guard was in place.
    bool tripped() const { return nb::len(tripped_) != 0; }

    void restore() noexcept {
        if (!signal_.is_valid())
            return;
        nb::object signal = std::move(signal_);
        try {
            signal.attr("signal")(signal.attr("SIGTERM"), previous_);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("restoring the SIGTERM handler");
        } catch (...) {
        }
    }

    /// The status of a process that SIGTERM ended, as a shell reports it.
    static constexpr int terminated_status = 143;

private:
    nb::list tripped_;
    nb::object signal_;
    nb::object previous_;
};

/// Wait until every future is done (or cancelled). Waiting on the futures rather than on the
/// pool's threads keeps an interrupt away from Thread.join, which (Python 3.11) takes a thread
/// that it was interrupted waiting for as ended while it still runs, so that the interpreter
/// could end beneath it.
inline void wait_for(nb::handle futures) { nb::module_::import_("concurrent.futures").attr("wait")(futures); }

/// After an interrupt of the pool's scope: cancel the tasks not yet started, wait for those
/// already running (a meter being talked to is left in a known state), and log at warning
/// level how many of the `total` meters were done and how many cancelled (never submitted
/// included). A second interrupt ends the wait; the interpreter still waits for the running
/// tasks before it ends.
inline void wind_down(nb::handle log, nb::handle pool, nb::handle futures, std::size_t total, const char *signal) {
    // Cancelled first, one by one: a worker freed meanwhile then skips them. What cannot be
    // cancelled has started. (A cancelled future never counts as done for wait().)
    nb::list started;
    for (nb::handle future : futures)
        if (!truthy(future.attr("cancel")()))
            started.append(future);
    pool.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
    wait_for(started);
    const std::size_t done = nb::len(started);
    const std::size_t cancelled = total - done;
    log.attr("warning")(nb::str("Interrupted by {}: {} meters done, {} cancelled").format(signal, done, cancelled),
                        "signal"_a = signal, "done"_a = done, "cancelled"_a = cancelled);
    pool.attr("shutdown")("wait"_a = true);
}

/// Submit `task(item)` for every item, in order, to a new thread pool of `workers` threads.
/// The pool's scope holds only the submissions; leaving it waits for every task. Returns the
/// futures in submission order. A pool size below 1 raises the pool's ValueError.
///
/// An interrupt while the pool works (Ctrl-C's KeyboardInterrupt, or SIGTERM) starts no
/// further task: the queued ones are cancelled, the running ones finish, one warning line
/// through `log` gives the counts, and the interrupt goes on to end the process as the signal
/// would (KeyboardInterrupt; for SIGTERM status 143).
inline nb::list run_on_pool(nb::handle log, nb::handle workers, nb::handle task, nb::handle items) {
    nb::object pool = nb::module_::import_("concurrent.futures").attr("ThreadPoolExecutor")("max_workers"_a = workers);
    nb::list futures;
    TerminationGuard termination;
    nb::object scope = pool.attr("__enter__")();
    try {
        nb::object submit = scope.attr("submit");
        for (nb::handle item : items)
            futures.append(submit(task, item));
        wait_for(futures);
        pool.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (nb::python_error &e) {
        const bool interrupted = e.matches(PyExc_KeyboardInterrupt);
        if (interrupted || (e.matches(PyExc_SystemExit) && termination.tripped())) {
            wind_down(log, pool, futures, nb::len(items), interrupted ? "SIGINT" : "SIGTERM");
            throw;
        }
        pool.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    termination.restore();
    return futures;
}

/// The number of finished tasks whose result is true. Taking the result of a task that ended
/// with an error raises that error again, uncaught.
inline std::size_t count_successes(nb::handle futures) {
    nb::object done = nb::module_::import_("concurrent.futures").attr("wait")(futures)[0];
    std::size_t success = 0;
    for (nb::handle future : done)
        if (norvox::truthy(future.attr("result")()))
            ++success;
    return success;
}

/// The guarded part of a pooled task that hands one meter to a one-meter job: log "run_job"
/// with the meter's id, serial and mediator address, make `job_class(**arguments)` and return
/// what its `update` returns. An ordinary error is logged with its report lines and counts as
/// false; SystemExit and interrupts pass through.
NORVOX_SITE(update_one_meter);
inline nb::object update_one_meter(nb::handle log, nb::handle meter_id, nb::handle serial, nb::handle mediator_address,
                                   nb::handle job_class, nb::dict arguments) {
    try {
        log.attr("info")("run_job", "meter_id"_a = meter_id, "serial"_a = serial,
                         "mediator_address"_a = mediator_address);
        return job_class(**arguments).attr("update")();
    } catch (nb::python_error &e) {
        nb::object error = caught(e, update_one_meter_site);
        log.attr("error")("Failure occurred pushing token", "error"_a = error, "exception"_a = traceback_lines(error));
        return nb::bool_(false);
    }
}

/// The program's command line: an option parser with the one option `--esco` (help text
/// `help`), kept with its parsed arguments and the code in the module globals `parser`,
/// `args` and `esco`. Returns the code, none when the option is absent.
inline nb::object parse_esco_option(nb::handle m, const char *help) {
    nb::object parser = nb::module_::import_("argparse").attr("ArgumentParser")();
    parser.attr("add_argument")("--esco", "action"_a = "store", "required"_a = false, "default"_a = nb::none(),
                                "help"_a = help);
    m.attr("parser") = parser;
    nb::object args = parser.attr("parse_args")();
    m.attr("args") = args;
    m.attr("esco") = args.attr("esco");
    return m.attr("esco");
}

/// The status of a bad command line, as the option parser ends the process with it.
inline constexpr int bad_option_status = 2;

/// End the process with the status of a bad command line when the ESCO code cannot be written
/// as UTF-8, so no request could carry it: on Linux, command-line bytes that are not UTF-8
/// arrive as lone surrogates. One error line through the module logger shows the code's escaped
/// form (its `ascii`), never the code itself.
inline void check_esco_is_text(nb::handle m, nb::handle esco) {
    if (!PyUnicode_Check(esco.ptr()) || PyUnicode_AsUTF8AndSize(esco.ptr(), nullptr) != nullptr)
        return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object shown = nb::steal(PyObject_ASCII(esco.ptr()));
    if (!shown.is_valid())
        throw nb::python_error();
    m.attr("logger").attr("error")("The --esco code is not valid text", "esco"_a = shown);
    exit_with(bad_option_status);
}

/// The program block of a job that takes `--esco`: parse the command line, check that the code
/// is text, build the job class `job_class` of the module with the code as its `esco` (kept in
/// the module global `runner`) and run it.
inline void run_esco_program(nb::handle m, const char *job_class, const char *help) {
    nb::object esco = parse_esco_option(m, help);
    check_esco_is_text(m, esco);
    m.attr("runner") = m.attr(job_class)("esco"_a = esco);
    m.attr("runner").attr("run")();
}

} // namespace norvox::jobs
