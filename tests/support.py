"""Helpers for tests that run the package's programs and read their log lines."""

from __future__ import annotations

import gc
import json
import os
import signal
import subprocess
import sys
import time
import traceback
from contextlib import contextmanager
from typing import NamedTuple


def clean_env(**settings) -> dict[str, str]:
    """The process environment without the settings the modules read, plus `settings`
    (a value of None leaves the variable unset)."""
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(
            (
                "SUPABASE_",
                "TESSEL_",
                "PUBLIC_BACKEND_",
                "MEDIATOR_",
                "MAX_PARALLEL",
                "DRIFT_",
                "FLY_",
                "SOCKS_",
                "NORVOX_",
                "ENV",
            )
        )
    }
    env.update({k: v for k, v in settings.items() if v is not None})
    return env


def _refuse_constant(token: str):
    raise ValueError(f"not JSON: {token}")


def strict_json(text: str):
    """`text` parsed as JSON, refusing the NaN, Infinity and -Infinity tokens that Python's
    parser otherwise accepts."""
    return json.loads(text, parse_constant=_refuse_constant)


def json_lines(text: str) -> list[dict]:
    """The JSON objects among the output lines (other lines are skipped), each parsed strictly.
    An event's line that another thread's traceback lines were written in front of, without
    their line end (the event chain writes those outside the handler's lock), is still found."""
    events = []
    for line in text.splitlines():
        if not line.startswith("{"):
            start = line.find('{"module": ')
            if not line.startswith("[") or start < 0:
                continue
            line = line[start:]
        events.append(strict_json(line))
    return events


def run_python(code: str, env=None, timeout=60, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout, **kwargs
    )


def program_path(name: str) -> str:
    """A console script of the package, installed beside the interpreter."""
    return os.path.join(os.path.dirname(sys.executable), name)


def run_program(name: str, *args: str, env, timeout=60) -> subprocess.CompletedProcess:
    """Run a console script of the package to its end."""
    return subprocess.run([program_path(name), *args], capture_output=True, text=True, env=env, timeout=timeout)


def start_program(name: str, *args: str, env) -> subprocess.Popen:
    """Start a console script of the package; `communicate()` collects its output."""
    return subprocess.Popen(
        [program_path(name), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )


# The keys a fleet job is given; a simulated database made with `keys=JOB_KEYS` accepts them.
TESSEL_KEY = "tessel-role-key"
BACKEND_KEY = "backend-role-key"
JOB_KEYS = {TESSEL_KEY, BACKEND_KEY}


def job_env(database_url: str, mediator_address: str, **settings) -> dict[str, str]:
    """The environment of a fleet job with every setting present; `settings` change some
    (None unsets one)."""
    values = dict(
        SUPABASE_URL=database_url,
        SUPABASE_ANON_KEY="anon-key",
        TESSEL_ROLE_KEY=TESSEL_KEY,
        PUBLIC_BACKEND_ROLE_KEY=BACKEND_KEY,
        MEDIATOR_SERVER=mediator_address,
        FLY_REGION="ams",
    )
    values.update(settings)
    return clean_env(**values)


def messages(events: list[dict]) -> list[str]:
    return [event["event"] for event in events]


def run_with_calls_held(fleet, name: str, *args: str, env, workers: int) -> str:
    """Run the program `name` while the fleet holds every call at its start: once `workers`
    calls are in flight and no further one arrives, let them go. Checks that the run ended with
    status 0 with no more than `workers` calls in flight at any time; returns its output."""
    fleet.pause()
    job = start_program(name, *args, env=env)
    try:
        assert fleet.wait_for_in_flight(workers, timeout=30)
        assert not fleet.wait_for_in_flight(workers + 1, timeout=0.5)
    finally:
        fleet.resume()
        out, err = job.communicate(timeout=60)
    assert job.returncode == 0, err
    assert fleet.max_in_flight == workers
    return out


# A shell starts background commands with SIGINT ignored, and a program keeps an ignored signal
# ignored: programs meant to be interrupted are started with it at its default action.
_WITH_DEFAULT_SIGINT = (
    "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"
)


def start_interruptible(name: str, *args: str, env) -> subprocess.Popen:
    """Start a console script of the package as `start_program` does, with SIGINT at its
    default action whatever the test run's is."""
    return subprocess.Popen(
        [sys.executable, "-c", _WITH_DEFAULT_SIGINT, program_path(name), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


class Interrupted(NamedTuple):
    """A program run that a signal ended: its status, output and the calls held at the signal."""

    returncode: int
    stdout: str
    stderr: str
    held: list


def interrupt_with_calls_held(fleet, name: str, *args: str, env, workers: int, signum: int) -> Interrupted:
    """Run the program `name` while the fleet holds every call at its start; once `workers`
    calls are in flight, send the program `signum`, give it a moment to act on it, then let the
    held calls go and wait for the program's end."""
    fleet.pause()
    job = start_interruptible(name, *args, env=env)
    try:
        assert fleet.wait_for_in_flight(workers, timeout=30)
        held = fleet.calls
        job.send_signal(signum)
        # Every worker is held in a call: nothing can start before `resume`, so a job that
        # would go on with its queue shows it then.
        time.sleep(0.5)
    finally:
        fleet.resume()
        out, err = job.communicate(timeout=60)
    return Interrupted(job.returncode, out, err, held)


# The status a shell reports for a job ended by the signal: Python's own KeyboardInterrupt ending
# for SIGINT (the process kills itself with it), 143 for SIGTERM.
ENDED_BY = {signal.SIGINT: -signal.SIGINT, signal.SIGTERM: 143}


def check_interrupted(run: Interrupted, fleet, signum: int, total: int) -> list[dict]:
    """Checks what every fleet job does on an interrupt while `run.held` calls are held: no
    further call starts, the held calls finish, one warning line gives the counts, no final
    count line, and the process ends as the signal would. Returns the log events."""
    workers = len(run.held)
    assert run.returncode == ENDED_BY[signum], run.stderr
    assert fleet.calls == run.held and fleet.in_flight == 0
    events = json_lines(run.stdout)
    name = signal.Signals(signum).name
    [warning] = [e for e in events if e["level"] == "warning"]
    assert warning["event"] == f"Interrupted by {name}: {workers} meters done, {total - workers} cancelled"
    assert (warning["signal"], warning["done"], warning["cancelled"]) == (name, workers, total - workers)
    assert warning is events[-1]
    if signum == signal.SIGINT:
        assert run.stderr.endswith("KeyboardInterrupt\n")
    else:
        assert run.stderr == ""
    assert "leaked" not in run.stderr
    return events


@contextmanager
def interrupted_after(seconds: float | None, *, cpu: bool = False):
    """Ctrl-C's KeyboardInterrupt, raised by the handler of a one-shot timer signal: after
    `seconds` of wall time, or with `cpu` after that much processor time of the process (time
    spent waiting does not count). With `seconds` None the block starts the timer itself
    (`signal.setitimer`). Timer and handler are cleared on leaving."""
    which, signum = (signal.ITIMER_PROF, signal.SIGPROF) if cpu else (signal.ITIMER_REAL, signal.SIGALRM)
    previous = signal.signal(signum, signal.default_int_handler)
    # A handler that runs inside a finalizer (of some earlier test's object, collected during
    # the block) has its KeyboardInterrupt ignored: no collection while the timer runs.
    collecting = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        if seconds is not None:
            signal.setitimer(which, seconds)
        yield
    finally:
        signal.setitimer(which, 0)
        signal.signal(signum, previous)
        if collecting:
            gc.enable()


def raised_inside(error: BaseException, function: str) -> bool:
    """True when `error` left the native function named `function` (its traceback has that
    function's entry), rather than being raised after it returned."""
    return any(entry.name == function for entry in traceback.extract_tb(error.__traceback__))
