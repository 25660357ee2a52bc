"""The `--esco` command line that clock_correction, pending_tariff_push and prepay_switch_off share,
run as the programs against the simulated database: a code that is not valid text ends the program
before any request."""

from __future__ import annotations

import subprocess

import pytest

from tests.support import JOB_KEYS, job_env, json_lines, program_path

PROGRAMS = ["clock_correction", "pending_tariff_push", "prepay_switch_off"]
NOT_TEXT = "The --esco code is not valid text"


@pytest.fixture
def job_database(database):
    return database(
        {
            "tessel": {"meter_shadows": [], "meter_registry": [], "escos": [{"id": 1, "code": "n\u00f6rd"}]},
            "ambrel": {},
        },
        functions={"meters_missing_future_tariffs": []},
        keys=JOB_KEYS,
    )


def run_with_code(name: str, code: bytes, env) -> subprocess.CompletedProcess:
    # The code goes in as bytes, as a shell would pass them.
    return subprocess.run([program_path(name), b"--esco", code], capture_output=True, text=True, env=env, timeout=60)


@pytest.mark.parametrize("name", PROGRAMS)
def test_a_code_with_undecodable_bytes_ends_the_program_before_any_request(job_database, name):
    done = run_with_code(name, b"\xff\xfe", job_env(job_database.url, "127.0.0.1:9"))
    assert (done.returncode, done.stderr) == (2, "")
    [event] = json_lines(done.stdout)
    event.pop("timestamp")
    # The code's escaped form, which any log reader can take.
    assert event == {
        "module": f"norvox.jobs.{name}",
        "esco": "'\\udcff\\udcfe'",
        "event": NOT_TEXT,
        "level": "error",
    }
    assert job_database.database.requests == []


@pytest.mark.parametrize("name", PROGRAMS)
def test_a_code_outside_ascii_is_text(job_database, name):
    done = run_with_code(name, "n\u00f6rd".encode(), job_env(job_database.url, "127.0.0.1:9"))
    assert NOT_TEXT not in done.stdout and "Traceback" not in done.stderr, done.stderr
    assert job_database.database.requests
