"""The pending tariff push program against the simulated database and mediator fleet: the work
list from the procedure, the registry look-up and push of each row, the count, the statuses;
and, in-process, the float conversion of the work rows."""

from __future__ import annotations

import inspect
import signal
from collections import OrderedDict
from datetime import datetime, timedelta, timezone
from decimal import Decimal

import pytest

from norvox.jobs.pending_tariff_push import PendingTariffPushJob
from norvox.util.supabase import supa_client
from tests.support import (
    BACKEND_KEY,
    JOB_KEYS,
    TESSEL_KEY,
    check_interrupted,
    interrupt_with_calls_held,
    job_env,
    json_lines,
    messages,
    run_program,
    run_with_calls_held,
)

PROGRAM = "pending_tariff_push"
ACTIVATION = (datetime.now(timezone.utc) + timedelta(days=30)).isoformat()
REFUSED = object()  # the procedure call is refused by the database

REGISTRY = [
    {"id": 10, "serial": "T1", "mode": "active"},
    {"id": 11, "serial": "T2", "mode": "inactive"},
    {"id": 12, "serial": "T3", "mode": "active"},
    {"id": 13, "serial": "T4", "mode": "active"},
]


def work_row(meter_id, serial):
    return {
        "meter_id": meter_id,
        "serial": serial,
        "unit_rate": 0.1,
        "standing_charge": 12.0,
        "activation_time": ACTIVATION,
    }


@pytest.fixture
def backend(database):
    """A database whose procedure returns `rows` (REFUSED: refuses the call)."""

    def start(rows, registry=REGISTRY):
        server = database(
            {"tessel": {"meter_registry": registry}, "ambrel": {}},
            functions={"meters_missing_future_tariffs": rows},
            keys=JOB_KEYS,
        )
        if rows is REFUSED:
            server.database.refuse("rpc/meters_missing_future_tariffs", 500, "procedure failed")
        return server

    return start


def heads(events):
    """The messages, each cut before the text form of a response or work list it carries."""
    return [message.partition(" [")[0] for message in messages(events)]


def test_pushes_the_rows_of_active_meters(backend, fleet):
    # T1 takes its tariff; T2 has no active registry row; T3 refuses; T4's mediator call fails.
    db = backend([work_row(901, "T1"), work_row(902, "T2"), work_row(903, "T3"), work_row(904, "T4")])
    fleet.add_meter("T1")
    fleet.add_meter("T3", refuses_future_tariffs=True)
    fleet.add_meter("T4")
    fleet.fail("T4", "UNAVAILABLE")

    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))

    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)
    assert all(event["esco"] == "north" for event in events)
    assert heads(events)[:4] == [
        "Starting pending tariff push job...",
        "meters_missing_future_tariffs response",
        "response JSON",
        "Processing 4 future tariff updates",
    ]
    assert "Decimal('0.1')" in messages(events)[2] and "Decimal('12.0')" in messages(events)[2]
    assert messages(events)[-1] == "Finished tariffs update all job. Success: 1/4"

    missing = [e for e in events if e["event"].startswith("No active meter")]
    assert [(e["event"], e["level"], set(e) - {"module", "esco", "event", "level", "timestamp"}) for e in missing] == [
        ("No active meter found in meter_registry with serial T2", "error", set())
    ]
    # The registry's id, not the row's meter_id, names the meter from here on.
    assert sorted((e["meter_id"], e["serial"], e["mediator_address"]) for e in events if e["event"] == "run_job") == [
        (10, "T1", fleet.address),
        (12, "T3", fleet.address),
        (13, "T4", fleet.address),
    ]
    (failure,) = [e for e in events if e["event"] == "Failure occurred pushing token"]
    assert "UNAVAILABLE" in failure["error"] and "exception" not in failure
    # Its traceback lines are written on a line of their own (among the workers' lines).
    assert any(line.startswith("['Traceback") and "UNAVAILABLE" in line for line in done.stdout.splitlines())

    pushed = fleet.meter("T1").future_tariff
    assert (pushed.unit_rate, str(pushed.standing_charge)) == (Decimal("0.1"), "12.0")
    assert fleet.meter("T3").future_tariff is None

    call, *lookups = db.database.requests
    assert (call.method, call.path, call.body) == (
        "POST",
        "/rest/v1/rpc/meters_missing_future_tariffs",
        {"esco_code_in": "north"},
    )
    assert (call.headers["content-profile"], call.headers["authorization"]) == ("ambrel", f"Bearer {BACKEND_KEY}")
    assert sorted(r.query for r in lookups) == [
        [("select", "*"), ("serial", f"eq.{serial}"), ("mode", "eq.active")] for serial in ("T1", "T2", "T3", "T4")
    ]
    assert {(r.method, r.path, r.headers["accept-profile"], r.headers["authorization"]) for r in lookups} == {
        ("GET", "/rest/v1/meter_registry", "tessel", f"Bearer {TESSEL_KEY}")
    }


START = "Starting pending tariff push job..."
SETTINGS = "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."


@pytest.mark.parametrize(
    "args, settings, rows, status, expected",
    [
        (("--esco", "north"), dict(SUPABASE_ANON_KEY=""), [], 2, [SETTINGS]),
        (
            ("--esco", "north"),
            dict(TESSEL_ROLE_KEY=None, MEDIATOR_SERVER=None),
            [],
            3,
            ["Environment variable TESSEL_ROLE_KEY not set."],
        ),
        (
            ("--esco", "north"),
            dict(PUBLIC_BACKEND_ROLE_KEY=""),
            [],
            4,
            ["Environment variable PUBLIC_BACKEND_ROLE_KEY not set."],
        ),
        (("--esco", "north"), dict(MEDIATOR_SERVER=None), [], 5, ["Environment variable MEDIATOR_SERVER not set."]),
        ((), {}, [], 1, [START]),
        # The setting is read while the module loads: before the command line is parsed.
        (("--bogus",), dict(MAX_PARALLEL_JOBS="4.5"), [], 1, []),
        (("--bogus",), {}, [], 2, []),
        (
            ("--esco", "north"),
            {},
            [],
            10,
            [START, "meters_missing_future_tariffs response", "response JSON", "No tariffs to update for north"],
        ),
        (
            ("--esco", ""),
            {},
            [],
            10,
            [START, "meters_missing_future_tariffs response", "response JSON", "No tariffs to update for "],
        ),
        (("--esco", "north"), {}, REFUSED, 1, [START]),
        (
            ("--esco", "north"),
            dict(MAX_PARALLEL_JOBS="0"),
            [work_row(901, "T1")],
            1,
            [START, "meters_missing_future_tariffs response", "response JSON", "Processing 1 future tariff updates"],
        ),
        (
            ("--esco", "north"),
            dict(MAX_PARALLEL_JOBS="0"),
            [],
            10,
            [START, "meters_missing_future_tariffs response", "response JSON", "No tariffs to update for north"],
        ),
    ],
    ids=[
        "no-anon-key",
        "no-role-key-nor-mediator",
        "no-backend-key",
        "no-mediator",
        "no-esco",
        "pool-size-not-integer",
        "bad-option",
        "no-rows",
        "empty-code",
        "procedure-refused",
        "pool-size-zero",
        "pool-size-zero-no-rows",
    ],
)
def test_exit_statuses(backend, fleet, args, settings, rows, status, expected):
    db = backend(rows)
    done = run_program(PROGRAM, *args, env=job_env(db.url, fleet.address, **settings))
    assert done.returncode == status, done.stderr
    assert heads(json_lines(done.stdout)) == expected
    if status in (2, 3, 4, 5) or not args:
        assert db.database.requests == []
    if not args:
        assert "TypeError: Argument 'esco' has incorrect type (expected str, got NoneType)" in done.stderr
    if args == ("--esco", ""):
        assert db.database.requests[0].body == {"esco_code_in": ""}
    assert fleet.calls == []


@pytest.mark.parametrize("data, type_name", [({"meter_id": 901}, "dict"), (None, "NoneType")])
def test_procedure_data_not_a_list_is_an_empty_work_list(backend, fleet, data, type_name):
    db = backend(data)
    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))
    assert done.returncode == 10
    events = json_lines(done.stdout)
    (warning,) = [e for e in events if e["level"] == "warning"]
    assert (warning["event"], warning["data_type"], warning["data"]) == (
        "RPC call 'meters_missing_future_tariffs' returned unexpected data type",
        type_name,
        data,
    )
    assert messages(events)[-2:] == ["response JSON [[]]", "No tariffs to update for north"]


def test_failed_registry_look_up_ends_the_run_after_every_task(backend, fleet):
    db = backend([work_row(901, "T1"), work_row(903, "T3"), work_row(904, "T4")])
    db.database.refuse("meter_registry", 500, "registry down", when=lambda r: r.param("serial") == "eq.T3")
    for serial in ("T1", "T3", "T4"):
        fleet.add_meter(serial)

    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))

    assert done.returncode == 1
    assert "registry down" in done.stderr
    assert not any(m.startswith("Finished") for m in messages(json_lines(done.stdout)))
    assert sorted(call.serial for call in fleet.calls) == ["T1", "T4"]


@pytest.fixture
def pushes(backend, fleet):
    """A work list of `count` rows for active meters P0, P1, ... of the fleet."""

    def start(count):
        serials = [f"P{i}" for i in range(count)]
        for serial in serials:
            fleet.add_meter(serial)
        return backend(
            [work_row(900 + i, s) for i, s in enumerate(serials)],
            registry=[{"id": i, "serial": s, "mode": "active"} for i, s in enumerate(serials)],
        )

    return start


@pytest.mark.parametrize("setting, workers", [(None, 5), ("", 5), ("2", 2)])
def test_pool_size_bounds_the_pushes_in_flight(pushes, fleet, setting, workers):
    db = pushes(8)
    out = run_with_calls_held(
        fleet,
        PROGRAM,
        "--esco",
        "north",
        env=job_env(db.url, fleet.address, MAX_PARALLEL_JOBS=setting),
        workers=workers,
    )
    assert messages(json_lines(out))[-1] == "Finished tariffs update all job. Success: 8/8"


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_an_interrupt_pushes_no_further_tariff(pushes, fleet, signum):
    db = pushes(8)
    run = interrupt_with_calls_held(
        fleet, PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address), workers=5, signum=signum
    )
    check_interrupted(run, fleet, signum, total=8)
    # The pushes under way were taken by their meters; no other meter got one.
    assert sorted(m.serial for m in fleet.meters if m.future_tariff is not None) == sorted(
        call.serial for call in run.held
    )


# --- in-process: the work list's conversion and type tests ------------------------------------


@pytest.fixture
def job():
    """A job object without its constructor's settings check."""
    return PendingTariffPushJob.__new__(PendingTariffPushJob)


def test_floats_become_exact_decimals(job):
    nested = {"rate": 0.5}
    items = [1, 2]
    row = {
        "serial": "T1",
        "unit_rate": 0.1,
        "standing_charge": 12.0,
        "tiny": 1e-05,
        "count": 5,
        "flag": True,
        "text": "0.25",
        "nested": nested,
        "items": items,
        "none": None,
    }
    data = [row, None, "text", OrderedDict(b=0.2, a=1)]

    converted = job._convert_floats_to_decimal(data)

    first = converted[0]
    assert list(first) == list(row)
    assert [type(first[k]) for k in ("unit_rate", "standing_charge", "tiny")] == [Decimal] * 3
    assert [str(first[k]) for k in ("unit_rate", "standing_charge")] == ["0.1", "12.0"]
    assert first["tiny"] == Decimal("0.00001")
    assert first["count"] == 5 and type(first["count"]) is int and first["flag"] is True
    assert first["text"] == "0.25" and first["nested"] is nested and first["items"] is items
    assert nested == {"rate": 0.5} and first["none"] is None
    assert converted[1:3] == [None, "text"]
    assert type(converted[3]) is dict and list(converted[3].items()) == [("b", Decimal("0.2")), ("a", 1)]
    assert row["unit_rate"] == 0.1 and converted is not data and converted[0] is not row


class OddText(float):
    """A float whose str() is not its number."""

    def __str__(self):
        return "about a tenth"


def test_map_subclasses_keep_their_order_and_float_subclasses_their_value(job):
    # An ordered map whose order differs from its insertion order.
    moved = OrderedDict(a=0.1, b=2)
    moved.move_to_end("a")
    converted = job._convert_floats_to_decimal([moved, {"rate": OddText(0.1)}])
    assert list(converted[0].items()) == [("b", 2), ("a", Decimal("0.1"))]
    assert converted[1] == {"rate": Decimal("0.1")}


class TextSubclass(str):
    pass


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda job: job.future_tariffs_to_update(None),
            "Argument 'esco' has incorrect type (expected str, got NoneType)",
        ),
        (lambda job: job.future_tariffs_to_update(TextSubclass("north")), "expected str, got TextSubclass"),
        (lambda job: job.future_tariffs_to_update(esco=7), "expected str, got int"),
        (
            lambda job: job._convert_floats_to_decimal((1.0,)),
            "Argument 'data_list' has incorrect type (expected list, got tuple)",
        ),
        (lambda job: job._convert_floats_to_decimal(ListSubclass()), "expected list, got ListSubclass"),
    ],
    ids=["esco-none", "esco-str-subclass", "esco-int", "tuple", "list-subclass"],
)
def test_typed_arguments_refused_before_any_request(database, job, call, message):
    db = database({"ambrel": {}}, functions={"meters_missing_future_tariffs": []})
    job.backend_supabase = supa_client(db.url, "anon-key", BACKEND_KEY, schema="ambrel")
    with pytest.raises(TypeError) as refused:
        call(job)
    assert message in str(refused.value)
    assert db.database.requests == []


@pytest.mark.parametrize(
    "method, signature",
    [
        ("run_job", "(self, tariff)"),
        ("run", "(self)"),
        ("future_tariffs_to_update", "(self, esco)"),
        ("_convert_floats_to_decimal", "(self, data_list)"),
        ("_check_environment", "(self)"),
    ],
)
def test_signatures(method, signature):
    assert str(inspect.signature(PendingTariffPushJob)) == "(esco=None)"
    assert str(inspect.signature(getattr(PendingTariffPushJob, method))) == signature
