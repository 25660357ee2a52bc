"""The clock_correction program, run as a subprocess against the simulated database and fleet."""

from __future__ import annotations

import inspect
import math
import signal
import subprocess
import sys
from operator import attrgetter
from pathlib import Path

import pytest

from sim.db import ApiError, Database, DatabaseServer
from sim.mediator import MediatorFleet
from tests.support import check_interrupted, clean_env, interrupt_with_calls_held, json_lines, run_with_calls_held

PROGRAM = str(Path(sys.executable).parent / "clock_correction")


def fleet_tables():
    registry = [
        # id, serial, mode, esco
        (1, "S-OK-1", "active", 1),
        (2, "S-OK-2", "active", 2),
        (3, "S-FAIL", "active", 1),
        (4, "S-SLOW", "active", 2),
        (5, "S-OFF", "inactive", 1),
        (6, "S-EDGE", "active", 1),
        (7, "S-CASE", "active", 3),
    ]
    drifts = {1: 45, 2: 21, 3: 300, 4: 60, 5: 90, 6: 20, 7: 40}
    return {
        "tessel": {
            "escos": [{"id": 1, "code": "north"}, {"id": 2, "code": "south"}, {"id": 3, "code": "North"}],
            "meter_registry": [{"id": i, "serial": s, "mode": m, "esco": e} for i, s, m, e in registry],
            "meter_shadows": [
                {"id": 100 + i, "meter": i, "clock_time_diff_seconds": drifts[i], "clock_time_diff_synced_at": None}
                for i, *_ in registry
            ],
        }
    }


@pytest.fixture
def fleet():
    with MediatorFleet() as fleet:
        for serial in ("S-OK-1", "S-OK-2", "S-FAIL", "S-SLOW", "S-OFF", "S-EDGE", "S-CASE"):
            fleet.add_meter(serial, clock_offset=33.0)
        fleet.fail("S-FAIL", "UNAVAILABLE")
        fleet.latency("S-SLOW", math.inf)
        yield fleet


def settings(db_url, fleet_address, **overrides):
    values = dict(
        SUPABASE_URL=db_url,
        SUPABASE_ANON_KEY="anon",
        TESSEL_ROLE_KEY="tessel-role",
        MEDIATOR_SERVER=fleet_address,
        MEDIATOR_CALL_TIMEOUT_SECONDS="1",
    )
    values.update(overrides)
    return clean_env(**values)


def run(env, *args, timeout=60):
    proc = subprocess.run([PROGRAM, *args], capture_output=True, text=True, env=env, timeout=timeout)
    return proc, json_lines(proc.stdout)


def events_named(events, text):
    return [e for e in events if e["event"] == text]


@pytest.mark.parametrize(
    "overrides, status, message",
    [
        (dict(SUPABASE_URL=None), 2, "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."),
        (dict(SUPABASE_ANON_KEY=""), 2, "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."),
        (
            dict(SUPABASE_URL=None, TESSEL_ROLE_KEY=None, MEDIATOR_SERVER=None),
            2,
            "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set.",
        ),
        (dict(TESSEL_ROLE_KEY=""), 3, "Environment variable TESSEL_ROLE_KEY not set."),
        (dict(TESSEL_ROLE_KEY=None, MEDIATOR_SERVER=None), 3, "Environment variable TESSEL_ROLE_KEY not set."),
        (dict(MEDIATOR_SERVER=None), 5, "Environment variable MEDIATOR_SERVER not set."),
    ],
    ids=["no-url", "empty-key", "all-missing", "empty-role", "role-before-mediator", "no-mediator"],
)
def test_missing_settings(overrides, status, message):
    proc, events = run(settings("http://127.0.0.1:9", "127.0.0.1:9", **overrides), "--esco", "north")
    assert proc.returncode == status
    [event] = events
    assert (event["event"], event["level"], event["esco"]) == (message, "error", "north")
    assert event["module"] == "norvox.jobs.clock_correction"


@pytest.mark.parametrize("variable", ["MAX_PARALLEL_JOBS", "DRIFT_THRESHOLD_SECONDS"])
@pytest.mark.parametrize("value", ["five", "2.5"])
def test_non_integer_setting_stops_the_load(variable, value):
    proc, events = run(settings("http://127.0.0.1:9", "127.0.0.1:9", **{variable: value}), "--bogus")
    assert proc.returncode == 1  # before the command line is even parsed
    assert events == [] and "ValueError" in proc.stderr


def test_bad_command_line_and_help():
    env = settings("http://127.0.0.1:9", "127.0.0.1:9")
    proc, _ = run(env, "--esco")
    assert proc.returncode == 2 and "usage:" in proc.stderr
    proc, _ = run(env, "--help")
    assert proc.returncode == 0 and "Apply clock updates to meters in this ESCO only" in proc.stdout


def test_corrects_every_drifted_active_meter(database, fleet):
    server = database(fleet_tables(), keys={"tessel-role"})
    proc, events = run(settings(server.url, fleet.address))
    assert proc.returncode == 0, proc.stderr

    [request, *updates] = server.database.requests
    assert request.method == "GET" and request.path == "/rest/v1/meter_shadows"
    assert request.query == [
        ("select", "clock_time_diff_seconds,id,meter_registry!inner(serial,mode)"),
        ("clock_time_diff_seconds", "gt.20"),
        ("meter_registry.mode", "eq.active"),
    ]
    assert request.headers["accept-profile"] == "tessel"
    assert all(e["esco"] is None for e in events)

    [found] = [e for e in events if e["event"].startswith("Found ")]
    assert found["event"] == "Found 5 meters with clock drift > 20s"
    assert {m["serial"] for m in found["drifted_meters"]} == {"S-OK-1", "S-OK-2", "S-FAIL", "S-SLOW", "S-CASE"}
    assert list(found["drifted_meters"][0]) == ["id", "serial", "clock_time_diff_seconds"]

    rows = {row["id"]: row for row in server.database.table("meter_shadows")}
    for corrected in (101, 102, 107):
        assert rows[corrected]["clock_time_diff_seconds"] == 0
        assert rows[corrected]["clock_time_diff_synced_at"].endswith("+00:00")
    for untouched, drift in ((103, 300), (104, 60), (105, 90), (106, 20)):
        assert rows[untouched]["clock_time_diff_seconds"] == drift
        assert rows[untouched]["clock_time_diff_synced_at"] is None
    assert {u.query[0] for u in updates} == {("id", "eq.101"), ("id", "eq.102"), ("id", "eq.107")}
    assert fleet.meter("S-OK-1").clock_offset == 0

    [updating] = [e for e in events if e["event"] == "Updating clock" and e["serial"] == "S-OK-1"]
    assert list(updating) == [
        "module",
        "esco",
        "meter_id",
        "serial",
        "mediator_address",
        "drift_seconds",
        "event",
        "level",
        "timestamp",
    ]
    assert (updating["meter_id"], updating["drift_seconds"]) == (101, 45)
    assert updating["mediator_address"] == fleet.address
    assert len(events_named(events, "Clock update successful")) == 3

    [deadline] = events_named(events, "Deadline exceeded updating clock")
    assert deadline["serial"] == "S-SLOW" and "exception" not in deadline
    [mediator] = events_named(events, "Mediator client error updating clock")
    assert mediator["serial"] == "S-FAIL" and "MediatorClientException" in mediator["error"]
    assert events[-1]["event"] == "Finished clock update job. Success: 3/5"

    # The traceback goes on a line of its own ahead of its event (other workers' whole lines may
    # come between, as it is written outside the handler's lock); the deadline has none.
    lines = proc.stdout.splitlines()
    mediator_line = next(i for i, line in enumerate(lines) if "Mediator client error updating clock" in line)
    [traceback_line] = [i for i, line in enumerate(lines) if line.startswith("['Traceback")]
    assert lines[traceback_line].startswith("['Traceback (most recent call last):\\n'")
    assert traceback_line < mediator_line
    assert all(json_lines(line)[0]["serial"] != "S-FAIL" for line in lines[traceback_line + 1 : mediator_line])


class CitextCodes(Database):
    """ESCO codes compared without regard to case, as a citext column would be."""

    def select(self, schema, table, query):
        query = [(k, "ilike." + v[3:]) if k == "meter_registry.escos.code" else (k, v) for k, v in query]
        return super().select(schema, table, query)


def test_one_esco_and_exact_post_filter(fleet):
    with DatabaseServer(CitextCodes(fleet_tables())) as server:
        proc, events = run(settings(server.url, fleet.address), "--esco", "north")
    assert proc.returncode == 0, proc.stderr
    request = server.database.requests[0]
    assert request.query == [
        ("select", "clock_time_diff_seconds,id,meter_registry!inner(serial,mode,escos!inner(code))"),
        ("clock_time_diff_seconds", "gt.20"),
        ("meter_registry.mode", "eq.active"),
        ("meter_registry.escos.code", "eq.north"),
    ]
    [post] = [e for e in events if e["event"].startswith("Post-filtered")]
    assert post["event"] == "Post-filtered by esco north"
    assert (post["original_count"], post["filtered_count"]) == (3, 2)  # "North" dropped
    assert all(e["esco"] == "north" for e in events)
    assert events[-1]["event"] == "Finished clock update job. Success: 1/2"


@pytest.mark.parametrize(
    "args, overrides, found",
    [
        (["--esco", "nowhere"], {}, "Found 0 meters with clock drift > 20s"),
        ([], {"DRIFT_THRESHOLD_SECONDS": "400"}, "Found 0 meters with clock drift > 400s"),
        ([], {"DRIFT_THRESHOLD_SECONDS": "400", "MAX_PARALLEL_JOBS": "0"}, "Found 0 meters with clock drift > 400s"),
    ],
    ids=["unknown-esco", "high-threshold", "no-work-pool-size-0"],
)
def test_nothing_to_correct(database, args, overrides, found):
    server = database(fleet_tables())
    proc, events = run(settings(server.url, "127.0.0.1:9", **overrides), *args)
    assert proc.returncode == 0, proc.stderr
    assert [e["event"] for e in events][-2:] == [found, "No meters to update."]
    if args:
        [post] = [e for e in events if e["event"].startswith("Post-filtered")]
        assert (post["original_count"], post["filtered_count"]) == (0, 0)


def test_empty_esco_means_all(database, fleet):
    server = database(fleet_tables())
    proc, events = run(settings(server.url, fleet.address, DRIFT_THRESHOLD_SECONDS=" 50 "), "--esco", "")
    assert proc.returncode == 0, proc.stderr
    assert server.database.requests[0].query[1] == ("clock_time_diff_seconds", "gt.50")
    assert not [e for e in events if e["event"].startswith("Post-filtered")]
    assert all(e["esco"] == "" for e in events)
    assert events[-1]["event"] == "Finished clock update job. Success: 0/2"  # S-FAIL and S-SLOW; S-OFF is inactive


def test_pool_size_below_one_fails_after_found_line(database, fleet):
    server = database(fleet_tables())
    proc, events = run(settings(server.url, fleet.address, MAX_PARALLEL_JOBS="-1"))
    assert proc.returncode == 1
    assert events[-1]["event"].startswith("Found 5 meters")
    assert "max_workers must be greater than 0" in proc.stderr


def test_failed_query(database):
    server = database(fleet_tables())
    server.database.refuse("meter_shadows", 500, "statement timeout")
    proc, events = run(settings(server.url, "127.0.0.1:9"))
    assert proc.returncode == 1
    [failed] = events_named(events, "Failed to query meter_shadows")
    assert "statement timeout" in failed["error"] and "exception" not in failed
    assert "Traceback" not in proc.stdout


class RefusedUpdates(Database):
    def update(self, schema, table, query, body):
        raise ApiError(503, "57014", "canceling statement due to statement timeout")


def test_failed_row_reset_counts_as_failure(fleet):
    with DatabaseServer(RefusedUpdates(fleet_tables())) as server:
        proc, events = run(settings(server.url, fleet.address, DRIFT_THRESHOLD_SECONDS="44"))
    assert proc.returncode == 0, proc.stderr
    failures = events_named(events, "Failure occurred updating clock")
    assert {e["serial"] for e in failures} == {"S-OK-1"}  # its clock was written, its row not
    assert fleet.meter("S-OK-1").clock_offset == 0
    assert events[-1]["event"] == "Finished clock update job. Success: 0/3"


class ScriptedRows(Database):
    """Answers the work-list query with the rows a test gives."""

    def __init__(self, rows):
        super().__init__({"tessel": {"meter_shadows": []}})
        self.rows = rows

    def select(self, schema, table, query):
        return self.rows


def test_rows_without_registry_map_are_skipped(fleet):
    rows = [
        {"id": 1, "clock_time_diff_seconds": 30, "meter_registry": None},
        {"id": 2, "clock_time_diff_seconds": 30},
        {"id": 3, "clock_time_diff_seconds": 30, "meter_registry": ["S-OK-1"]},
        {"id": 4, "clock_time_diff_seconds": 30, "meter_registry": {"serial": "S-OK-2"}},
    ]
    with DatabaseServer(ScriptedRows(rows)) as server:
        proc, events = run(settings(server.url, fleet.address))
    assert proc.returncode == 0, proc.stderr
    [found] = [e for e in events if e["event"].startswith("Found ")]
    assert found["drifted_meters"] == [{"id": 4, "serial": "S-OK-2", "clock_time_diff_seconds": 30}]


def test_row_missing_a_required_key_is_an_uncaught_error(fleet):
    rows = [{"id": 1, "meter_registry": {"serial": "S-OK-1"}}]
    with DatabaseServer(ScriptedRows(rows)) as server:
        proc, events = run(settings(server.url, fleet.address))
    assert proc.returncode == 1
    assert "KeyError: 'clock_time_diff_seconds'" in proc.stderr


@pytest.fixture
def drifted_fleet(database):
    """`count` drifted active meters P0, P1, ... in the database and the fleet; gives the
    database server, the fleet and the job's settings for a pool of `workers`."""
    with MediatorFleet() as fleet:

        def start(count, workers):
            server = database(
                {
                    "tessel": {
                        "escos": [],
                        "meter_registry": [
                            {"id": i, "serial": f"P{i}", "mode": "active", "esco": None} for i in range(count)
                        ],
                        "meter_shadows": [{"id": i, "meter": i, "clock_time_diff_seconds": 99} for i in range(count)],
                    }
                }
            )
            for i in range(count):
                fleet.add_meter(f"P{i}", clock_offset=50.0)
            return (
                server,
                fleet,
                settings(server.url, fleet.address, MAX_PARALLEL_JOBS=str(workers), MEDIATOR_CALL_TIMEOUT_SECONDS="30"),
            )

        yield start


def test_pool_bounds_the_calls_in_flight(drifted_fleet):
    count, workers = 12, 3
    _, fleet, env = drifted_fleet(count, workers)
    out = run_with_calls_held(fleet, "clock_correction", workers=workers, env=env)
    assert json_lines(out)[-1]["event"] == f"Finished clock update job. Success: {count}/{count}"


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupt_corrects_no_further_clock(drifted_fleet, signum):
    server, fleet, env = drifted_fleet(12, 3)
    run = interrupt_with_calls_held(fleet, "clock_correction", env=env, workers=3, signum=signum)
    check_interrupted(run, fleet, signum, total=12)
    # The held meters were corrected and their drift rows reset; the others were left alone.
    held = sorted(call.serial for call in run.held)
    assert sorted(m.serial for m in fleet.meters if m.clock_offset == 0.0) == held
    assert (
        sorted(f"P{row['id']}" for row in server.database.table("meter_shadows") if row["clock_time_diff_seconds"] == 0)
        == held
    )


def test_error_escaping_a_task_ends_the_run_without_final_line(database):
    server = database(fleet_tables())
    code = (
        "import sys\n"
        "from norvox.jobs import clock_correction as job\n"
        "real = job.ClockCorrectionJob.run_job\n"
        "def run_job(self, record):\n"
        "    if record['serial'] == 'S-OK-2':\n"
        "        raise RuntimeError('broken work item')\n"
        "    return real(self, record)\n"
        "job.ClockCorrectionJob.run_job = run_job\n"
        "sys.argv = ['clock_correction']\n"
        "job.main()\n"
    )
    with MediatorFleet() as fleet:
        for serial in ("S-OK-1", "S-OK-2", "S-FAIL", "S-SLOW", "S-CASE"):
            fleet.add_meter(serial)
        proc = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=60,
            env=settings(server.url, fleet.address),
        )
    assert proc.returncode == 1
    assert "RuntimeError: broken work item" in proc.stderr
    events = json_lines(proc.stdout)
    assert not [e for e in events if e["event"].startswith("Finished")]
    # Every other task ran to its end before the error was raised again.
    assert len(events_named(events, "Clock update successful")) == 4


class Recorder:
    """Stands in for the job's bound logger: keeps (level, message, fields) of each event."""

    def __init__(self):
        self.events = []

    def info(self, message, **fields):
        self.events.append(("info", message, fields))

    def error(self, message, **fields):
        self.events.append(("error", message, fields))


@pytest.fixture
def job_in_process():
    """The module, and a job object with a recording logger (no settings check, no client)."""
    from norvox.jobs import clock_correction as module

    job = object.__new__(module.ClockCorrectionJob)
    job.log = Recorder()
    return module, job


RECORD = {"id": 101, "serial": "S-1", "clock_time_diff_seconds": 45}


@pytest.mark.parametrize("record", [None, [("serial", "S-1")], "S-1"], ids=["None", "list", "str"])
def test_run_job_refuses_what_is_not_a_map(job_in_process, record):
    _, job = job_in_process
    with pytest.raises(
        TypeError,
        match=r"^Argument 'meter_drift_record' has incorrect type "
        r"\(expected dict, got ",
    ):
        job.run_job(record)
    assert job.log.events == []


@pytest.mark.parametrize(
    "record, key",
    [
        ({}, "serial"),
        ({"serial": "S-1", "id": 101}, "clock_time_diff_seconds"),
        ({"serial": "S-1", "clock_time_diff_seconds": 45}, "id"),
    ],
)
def test_run_job_missing_key_escapes_before_anything_is_logged(job_in_process, record, key):
    _, job = job_in_process
    with pytest.raises(KeyError) as error:
        job.run_job(record)
    assert error.value.args == (key,)
    assert job.log.events == []


def failing_client(failure):
    class Client:
        def __init__(self, *, mediator_address):
            pass

        def clock_time_write(self, serial):
            raise failure

    return Client


@pytest.mark.parametrize("code", ["DEADLINE_EXCEEDED", "UNAVAILABLE"])
def test_mediator_failure_fields(job_in_process, monkeypatch, code):
    import traceback

    module, job = job_in_process
    failure = module.MediatorClientException(f"ClockTimeWrite for meter S-1 failed: {code}", code)
    monkeypatch.setattr(module, "DederiMediatorAPI", failing_client(failure))
    assert job.run_job(dict(RECORD)) is False
    level, message, fields = job.log.events[-1]
    assert level == "error"
    if code == "DEADLINE_EXCEEDED":
        assert message == "Deadline exceeded updating clock"
        assert fields == {"serial": "S-1", "error": str(failure)}  # the message text, no report
    else:
        assert message == "Mediator client error updating clock"
        assert list(fields) == ["serial", "error", "exception"]
        assert fields["error"] is failure
        assert fields["exception"] == traceback.format_exception(failure)


@pytest.mark.parametrize("failure", [SystemExit(3), KeyboardInterrupt()], ids=["exit", "interrupt"])
def test_exit_and_interrupt_pass_through_run_job(job_in_process, monkeypatch, failure):
    module, job = job_in_process
    monkeypatch.setattr(module, "DederiMediatorAPI", failing_client(failure))
    with pytest.raises(type(failure)):
        job.run_job(dict(RECORD))
    assert [message for _, message, _ in job.log.events] == ["Updating clock"]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("ClockCorrectionJob", "(esco=None)"),
        ("ClockCorrectionJob.run_job", "(self, meter_drift_record)"),
        ("ClockCorrectionJob.run", "(self)"),
        ("ClockCorrectionJob._check_environment", "(self)"),
        ("main", "()"),
    ],
)
def test_signatures(name, signature):
    from norvox.jobs import clock_correction

    assert str(inspect.signature(attrgetter(name)(clock_correction))) == signature
