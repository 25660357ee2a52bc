"""The prepay switch-off program against the simulated database and mediator fleet: the ESCO
matched by its whole code, the meters selected, one switch-off per meter on a pool of fifteen,
the outcomes and statuses; and, in-process, the argument checks of the one-meter job."""

from __future__ import annotations

import inspect
import signal
import time
from operator import attrgetter

import pytest

import norvox.jobs.prepay_switch_off as prepay_switch_off
from norvox.jobs.prepay_switch_off import PrepaySwitchOffJob
from tests.support import (
    JOB_KEYS,
    TESSEL_KEY,
    check_interrupted,
    interrupt_with_calls_held,
    job_env,
    json_lines,
    messages,
    run_program,
    run_with_calls_held,
    start_interruptible,
)

PROGRAM = "prepay_switch_off"
START = "Starting prepay_switch_off job..."

ESCOS = [
    {"id": 1, "code": "north"},
    {"id": 2, "code": "n_rth"},
    {"id": 3, "code": "nor%"},
    {"id": 4, "code": "back\\slash"},
    {"id": 5, "code": "south"},
]


def meter(id, serial, esco=1, prepay_enabled=True, hardware="P2", mode="active"):
    return {
        "id": id,
        "serial": serial,
        "mode": mode,
        "esco": esco,
        "prepay_enabled": prepay_enabled,
        "hardware": hardware,
    }


@pytest.fixture
def registry(database, fleet):
    """A database of ESCOS and the given meter rows, with a prepay-enabled meter in the fleet
    for each serial."""

    def start(meters, escos=ESCOS):
        for row in meters:
            if isinstance(row.get("serial"), str):
                fleet.add_meter(row["serial"], prepay_enabled=True)
        return database({"tessel": {"escos": escos, "meter_registry": meters}}, keys=JOB_KEYS)

    return start


def switched_off(fleet):
    return sorted(m.serial for m in fleet.meters if not m.prepay_enabled)


def test_switches_off_the_selected_meters_of_the_esco(registry, fleet):
    db = registry(
        [
            meter(10, "A"),
            meter(11, "B", hardware="P1.ax"),
            meter(12, "C", hardware="P1.cx"),
            meter(13, "D", hardware=None),  # null passes no not-equal test
            meter(14, "E", prepay_enabled=False),
            meter(15, "F", prepay_enabled=None),
            meter(16, "G", hardware="p1.ax", mode="inactive"),  # hardware compared exactly; any mode
            meter(17, "H", esco=5),
            meter(18, "I"),
            meter(None, "J"),
        ]
    )
    fleet.fail("I", "UNAVAILABLE")

    done = run_program(PROGRAM, "--esco", "NORTH", env=job_env(db.url, fleet.address))

    assert done.returncode == 0, done.stderr
    assert switched_off(fleet) == ["A", "G", "J"]
    events = json_lines(done.stdout)
    assert messages(events)[:2] == [START, "Processing 4 meters"]
    assert messages(events)[-1] == "Finished prepay_switch_off job. Success: 3/4"

    fleet_events = [e for e in events if "esco" in e]
    assert all(e["esco"] == "NORTH" for e in fleet_events)
    assert sorted(e["event"] for e in fleet_events if e["event"].startswith("run_job for meter_row ")) == sorted(
        f"run_job for meter_row {row}"
        for row in (meter(10, "A"), meter(16, "G", hardware="p1.ax", mode="inactive"), meter(18, "I"), meter(None, "J"))
    )
    assert sorted(
        (e["meter_id"] or 0, e["serial"], e["mediator_address"]) for e in fleet_events if e["event"] == "run_job"
    ) == [(0, "J", fleet.address), (10, "A", fleet.address), (16, "G", fleet.address), (18, "I", fleet.address)]
    # The one-meter job's events carry the meter's fields, not the ESCO.
    meter_events = [e for e in events if "esco" not in e]
    assert sorted((e["event"], e["meter_id"] or 0, e["serial"], e["mediator_address"]) for e in meter_events) == [
        ("Mediator client failure", 18, "I", fleet.address),
        ("prepay disabled", 0, "J", fleet.address),
        ("prepay disabled", 10, "A", fleet.address),
        ("prepay disabled", 16, "G", fleet.address),
    ]
    (failure,) = [e for e in meter_events if e["level"] == "error"]
    assert "UNAVAILABLE" in failure["error"] and "exception" not in failure
    # Its traceback lines are written on a line of their own (among the workers' lines).
    assert any(line.startswith("['Traceback") and "UNAVAILABLE" in line for line in done.stdout.splitlines())

    look_up, meters = db.database.requests
    assert (look_up.path, look_up.query) == ("/rest/v1/escos", [("select", "id"), ("code", "ilike.NORTH")])
    assert (meters.path, meters.query) == (
        "/rest/v1/meter_registry",
        [
            ("select", "*"),
            ("esco", "eq.1"),
            ("prepay_enabled", "eq.true"),
            ("hardware", "neq.P1.ax"),
            ("hardware", "neq.P1.cx"),
        ],
    )
    assert {(r.headers["accept-profile"], r.headers["authorization"]) for r in (look_up, meters)} == {
        ("tessel", f"Bearer {TESSEL_KEY}")
    }


@pytest.mark.parametrize(
    "code, sent, serials",
    [
        ("north", "north", ["N1"]),
        # Pattern characters stand for themselves: none of these codes selects "north".
        ("N_RTH", "N\\_RTH", ["N2"]),
        ("NOR%", "NOR\\%", ["N3"]),
        ("back\\slash", "back\\\\slash", ["N4"]),
    ],
    ids=["plain", "underscore", "percent", "backslash"],
)
def test_the_code_matches_one_esco_whole_regardless_of_case(registry, fleet, code, sent, serials):
    db = registry([meter(10, "N1", esco=1), meter(20, "N2", esco=2), meter(30, "N3", esco=3), meter(40, "N4", esco=4)])
    done = run_program(PROGRAM, "--esco", code, env=job_env(db.url, fleet.address))
    assert done.returncode == 0, done.stderr
    assert db.database.requests[0].query == [("select", "id"), ("code", f"ilike.{sent}")]
    assert switched_off(fleet) == serials


NO_ESCO = "--esco is required: give the code of the ESCO whose meters to switch off"


@pytest.mark.parametrize(
    "args, settings, escos, status, expected, requests",
    [
        (
            ("--esco", "north"),
            dict(SUPABASE_URL="http://127.0.0.1:9", SUPABASE_ANON_KEY=""),
            ESCOS,
            2,
            ["Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."],
            0,
        ),
        (
            ("--esco", "north"),
            dict(TESSEL_ROLE_KEY="", MEDIATOR_SERVER=None),
            ESCOS,
            3,
            ["Environment variable TESSEL_ROLE_KEY not set."],
            0,
        ),
        (("--esco", "north"), dict(MEDIATOR_SERVER=""), ESCOS, 4, ["Environment variable MEDIATOR_SERVER not set."], 0),
        ((), {}, ESCOS, 1, [START, NO_ESCO], 0),
        (("--esco",), {}, ESCOS, 2, [], 0),
        (("--esco", "nor"), {}, ESCOS, 10, [START, "no esco found for nor"], 1),
        (("--esco", ""), {}, ESCOS, 10, [START, "no esco found for "], 1),
        (("--esco", "south"), {}, ESCOS, 10, [START, "No meter found to disable"], 2),
        (
            ("--esco", "n*rth"),
            {},
            ESCOS,
            1,
            [START, "ESCO code cannot hold '*': the database service reads it as a wildcard"],
            0,
        ),
        (("--esco", "north"), {}, ESCOS + [{"id": 6, "code": "North"}], 1, [START, "Several ESCOs match north"], 1),
    ],
    ids=[
        "no-anon-key",
        "no-role-key-nor-mediator",
        "no-mediator",
        "no-esco",
        "esco-without-value",
        "no-such-esco",
        "empty-code",
        "no-meter-to-switch",
        "star-in-code",
        "codes-differing-in-case",
    ],
)
def test_exit_statuses(registry, fleet, args, settings, escos, status, expected, requests):
    db = registry([meter(10, "N1", esco=1), meter(50, "S1", esco=5, prepay_enabled=False)], escos=escos)
    done = run_program(PROGRAM, *args, env=job_env(db.url, fleet.address, **settings))
    assert done.returncode == status, done.stderr
    events = json_lines(done.stdout)
    assert messages(events) == expected
    assert [e["level"] for e in events[1:]] == ["error"] * len(events[1:])
    assert len(db.database.requests) == requests
    assert fleet.calls == []


def test_failed_esco_look_up_is_an_uncaught_error(registry, fleet):
    db = registry([meter(10, "N1")])
    db.database.refuse("escos", 500, "escos unavailable")
    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))
    assert done.returncode == 1
    assert "escos unavailable" in done.stderr
    assert messages(json_lines(done.stdout)) == [START]


def test_failures_outside_the_one_meter_job_are_logged_and_counted(registry, fleet):
    # A row without "serial" fails before the guarded part; an integer serial fails the write.
    no_serial = {k: v for k, v in meter(20, "X").items() if k != "serial"}
    db = registry([meter(10, "A"), no_serial, meter(30, 123)])

    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))

    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)
    assert messages(events)[-2:] == ["Error processing meter: 'serial'", "Finished prepay_switch_off job. Success: 1/3"]
    (unknown,) = [e for e in events if e["event"] == "Unknown failure during prepay_enabled flag disable"]
    assert (unknown["serial"], unknown["meter_id"]) == (123, 30) and "TypeError" in unknown["error"]
    assert switched_off(fleet) == ["A"]


def test_failure_making_the_one_meter_job(registry, fleet):
    db = registry([meter(10, "A")])
    # The prepay client refuses to be made with a call deadline that is not a number.
    env = job_env(db.url, fleet.address, MEDIATOR_CALL_TIMEOUT_SECONDS="ten")
    done = run_program(PROGRAM, "--esco", "north", env=env)
    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)
    (failure,) = [e for e in events if e["level"] == "error"]
    assert (failure["event"], failure["esco"]) == ("Failure occurred pushing token", "north")
    assert "MEDIATOR_CALL_TIMEOUT_SECONDS" in failure["error"]
    assert messages(events)[-1] == "Finished prepay_switch_off job. Success: 0/1"
    assert fleet.calls == []


def test_fifteen_meters_in_flight_at_most(registry, fleet):
    db = registry([meter(100 + i, f"M{i:02}") for i in range(40)])
    out = run_with_calls_held(
        fleet, PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address, MAX_PARALLEL_JOBS="2"), workers=15
    )
    assert len(switched_off(fleet)) == 40
    assert messages(json_lines(out))[-1] == "Finished prepay_switch_off job. Success: 40/40"


# --- in-process: the one-meter job's arguments -------------------------------------------------


class DictSubclass(dict):
    pass


class TextSubclass(str):
    pass


ROW = {"id": 7, "serial": "A"}


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: PrepaySwitchOffJob(ROW, "127.0.0.1:1", None), "incompatible function arguments"),
        (lambda: PrepaySwitchOffJob(meter=ROW, mediator_address="127.0.0.1:1"), "incompatible function arguments"),
        (
            lambda: PrepaySwitchOffJob(meter=ROW, mediator_address="127.0.0.1:1", supabase=None, extra=1),
            "incompatible function arguments",
        ),
        (
            lambda: PrepaySwitchOffJob(meter=None, mediator_address=None, supabase=None),
            "Argument 'meter' has incorrect type (expected dict, got NoneType)",
        ),
        (
            lambda: PrepaySwitchOffJob(meter=DictSubclass(ROW), mediator_address="127.0.0.1:1", supabase=None),
            "expected dict, got DictSubclass",
        ),
        (
            lambda: PrepaySwitchOffJob(meter=ROW, mediator_address=None, supabase=None),
            "Argument 'mediator_address' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: PrepaySwitchOffJob(meter=ROW, mediator_address=TextSubclass("127.0.0.1:1"), supabase=None),
            "expected str, got TextSubclass",
        ),
    ],
    ids=[
        "positional",
        "missing",
        "unknown-keyword",
        "meter-none",
        "meter-dict-subclass",
        "address-none",
        "address-str-subclass",
    ],
)
def test_one_meter_job_refuses_its_arguments_before_making_a_client(monkeypatch, make, message):
    made = []
    monkeypatch.setattr(prepay_switch_off, "DederiPrepayAPI", lambda **kw: made.append(kw))
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        make()
    assert made == []


def test_one_meter_job_reads_serial_then_id_after_making_its_client(monkeypatch):
    made = []
    monkeypatch.setattr(prepay_switch_off, "DederiPrepayAPI", lambda **kw: made.append(kw) or "client")
    with pytest.raises(KeyError, match="'id'"):
        PrepaySwitchOffJob(meter={"serial": "A"}, mediator_address="127.0.0.1:1", supabase=None)
    assert made == [{"mediator_address": "127.0.0.1:1"}]
    database = object()
    job = PrepaySwitchOffJob(meter=ROW, mediator_address="127.0.0.1:1", supabase=database)
    assert (job.meter, job.mediator_address, job.supabase, job.dederi_client) == (
        ROW,
        "127.0.0.1:1",
        database,
        "client",
    )
    assert inspect.getdoc(PrepaySwitchOffJob.update).splitlines()[-2:] == [
        "Update the prepay_enabled flag on the meter.",
        "Returns True if successful, False if failed.",
    ]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupt_switches_off_no_further_meter(registry, fleet, signum):
    db = registry([meter(i, f"M{i}") for i in range(40)])
    run = interrupt_with_calls_held(
        fleet, PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address), workers=15, signum=signum
    )
    events = check_interrupted(run, fleet, signum, total=40)
    # The meters being talked to were switched off, and no other.
    assert switched_off(fleet) == sorted(call.serial for call in run.held)
    assert messages(events).count("prepay disabled") == 15


def test_a_second_interrupt_ends_the_wait_without_a_leak_report(registry, fleet):
    db = registry([meter(i, f"M{i}") for i in range(20)])
    fleet.pause()
    job = start_interruptible(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))
    try:
        assert fleet.wait_for_in_flight(15, timeout=30)
        job.send_signal(signal.SIGINT)
        time.sleep(0.5)
        job.send_signal(signal.SIGINT)  # while the first waits for the held calls
        time.sleep(0.5)
    finally:
        fleet.resume()
        out, err = job.communicate(timeout=60)
    assert job.returncode == -signal.SIGINT
    assert err.endswith("KeyboardInterrupt\n") and "leak" not in err
    assert len(fleet.calls) == 15  # still no further meter


@pytest.mark.parametrize(
    "name, signature",
    [
        ("PrepaySwitchOffJob", "(*, meter, mediator_address, supabase)"),
        ("PrepaySwitchOffJob.update", "(self)"),
        ("PrepaySwitchOffAllJob", "(esco=None)"),
        ("PrepaySwitchOffAllJob.run_job", "(self, meter_row)"),
        ("PrepaySwitchOffAllJob.run", "(self)"),
        ("PrepaySwitchOffAllJob._check_environment", "(self)"),
        ("main", "()"),
    ],
)
def test_signatures(name, signature):
    assert str(inspect.signature(attrgetter(name)(prepay_switch_off))) == signature
