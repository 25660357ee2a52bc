"""No database key ever reaches the output: every fleet job, given distinctive keys, is run
through the failure paths of its database client (service down, key refused, server error, a bad
URL, keys an HTTP header cannot carry) and neither its standard output nor its standard error
holds any key's text."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import pytest

from sim.db import closed_port_url
from tests.support import job_env, run_python

# The jobs' keys: each with a part found nowhere else.
ANON, TESSEL, BACKEND = "anon-Q8vZ3kLm", "tessel-W2nR7tYc", "backend-H5jP9sXd"
SECRETS = [key.split("-")[1] for key in (ANON, TESSEL, BACKEND)]

JOBS = [
    ("clock_correction",),
    ("pending_tariff_push", "--esco", "north"),
    ("prepay_switch_off", "--esco", "north"),
    ("wallet_refill",),
]

# A job's program block, run as its console script runs it, with the database client's waits
# between retries of a failed connection skipped.
PROGRAM = (
    "import sys, time\n"
    "time.sleep = lambda seconds: None\n"
    "sys.argv = {argv!r}\n"
    "from norvox.jobs.{name} import main\n"
    "sys.exit(main())\n"
)


def run_job(job, env):
    return run_python(PROGRAM.format(argv=list(job), name=job[0]), env=env)


TABLES = {
    "tessel": {"meter_shadows": [], "meter_registry": [], "escos": [{"id": 1, "code": "north"}]},
    "ambrel": {"meters": [{"id": 1, "serial": "S1", "balance": 1, "wallet": None}], "wallets": []},
}


def keys(anon=ANON, tessel=TESSEL, backend=BACKEND) -> dict[str, str]:
    return dict(SUPABASE_ANON_KEY=anon, TESSEL_ROLE_KEY=tessel, PUBLIC_BACKEND_ROLE_KEY=backend)


@pytest.mark.parametrize(
    "scenario",
    ["database-down", "key-refused", "server-error", "bad-url", "anon-key-with-line-end", "role-keys-with-white-space"],
)
def test_no_key_text_in_any_output(database, scenario):
    settings = keys()
    if scenario == "database-down":
        url = closed_port_url()
    elif scenario == "bad-url":
        url = "htps:/127.0.0.1"
    else:
        server = database(
            TABLES,
            functions={"meters_missing_future_tariffs": []},
            keys=None if scenario == "server-error" else {"some-other-key"},
        )
        if scenario == "server-error":
            for target in ("meter_shadows", "escos", "meters", "rpc/*"):
                server.database.refuse(target, 500, "the database failed")
        url = server.url
    if scenario == "anon-key-with-line-end":
        settings = keys(anon=ANON + "\n")
    elif scenario == "role-keys-with-white-space":
        settings = keys(tessel=f" {TESSEL}\r\n", backend=f"{BACKEND} ")
    env = job_env(url, "127.0.0.1:9", **settings)

    with ThreadPoolExecutor(len(JOBS)) as pool:
        runs = list(pool.map(lambda job: run_job(job, env), JOBS))

    for job, run in zip(JOBS, runs, strict=True):
        assert run.returncode != 0, (job, run.stdout, run.stderr)
        output = run.stdout + run.stderr
        assert not [secret for secret in SECRETS if secret in output], (job, output)
