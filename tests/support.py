"""Helpers for tests that run the package's programs and read their log lines."""

from __future__ import annotations

import json
import os
import subprocess
import sys


def clean_env(**settings) -> dict[str, str]:
    """The process environment without the settings the modules read, plus `settings`
    (a value of None leaves the variable unset)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("SUPABASE_", "TESSEL_", "PUBLIC_BACKEND_", "MEDIATOR_", "MAX_PARALLEL",
                                "DRIFT_", "FLY_", "SOCKS_", "NORVOX_", "ENV"))}
    env.update({k: v for k, v in settings.items() if v is not None})
    return env


def json_lines(text: str) -> list[dict]:
    """The JSON objects among the output lines (other lines are skipped). An event's line that
    another thread's traceback lines were written in front of, without their line end (the
    event chain writes those outside the handler's lock), is still found."""
    events = []
    for line in text.splitlines():
        if not line.startswith("{"):
            start = line.find('{"module": ')
            if not line.startswith("[") or start < 0:
                continue
            line = line[start:]
        events.append(json.loads(line))
    return events


def run_python(code: str, env=None, timeout=60, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout, **kwargs)


def program_path(name: str) -> str:
    """A console script of the package, installed beside the interpreter."""
    return os.path.join(os.path.dirname(sys.executable), name)


def run_program(name: str, *args: str, env, timeout=60) -> subprocess.CompletedProcess:
    """Run a console script of the package to its end."""
    return subprocess.run([program_path(name), *args], capture_output=True, text=True, env=env,
                          timeout=timeout)


def start_program(name: str, *args: str, env) -> subprocess.Popen:
    """Start a console script of the package; `communicate()` collects its output."""
    return subprocess.Popen([program_path(name), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


# The keys a fleet job is given; a simulated database made with `keys=JOB_KEYS` accepts them.
TESSEL_KEY = "tessel-role-key"
BACKEND_KEY = "backend-role-key"
JOB_KEYS = {TESSEL_KEY, BACKEND_KEY}


def job_env(database_url: str, mediator_address: str, **settings) -> dict[str, str]:
    """The environment of a fleet job with every setting present; `settings` change some
    (None unsets one)."""
    values = dict(SUPABASE_URL=database_url, SUPABASE_ANON_KEY="anon-key", TESSEL_ROLE_KEY=TESSEL_KEY,
                  PUBLIC_BACKEND_ROLE_KEY=BACKEND_KEY, MEDIATOR_SERVER=mediator_address,
                  FLY_REGION="ams")
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
