"""The wallet refill check against the simulated database and mediator fleet: the decisions per
meter, the live balances read, the report on standard output byte for byte, the statuses."""

from __future__ import annotations

import inspect
import math

import pytest

from sim.db import closed_port_url
from tests.support import BACKEND_KEY, JOB_KEYS, job_env, json_lines, messages, run_program

PROGRAM = "wallet_refill"
START = "Starting wallet_refill job..."
SELECT = "id,serial,balance,wallet,wallets(id,balance,minimum_balance,target_balance,auto_topup)"


def wallet(id, minimum=5.0, auto_topup=True, target=20.0, balance=7.5):
    return {
        "id": id,
        "balance": balance,
        "minimum_balance": minimum,
        "target_balance": target,
        "auto_topup": auto_topup,
    }


@pytest.fixture
def backend(database):
    def start(meters, wallets=()):
        return database({"ambrel": {"meters": meters, "wallets": list(wallets)}}, keys=JOB_KEYS)

    return start


def report_after_summary(stdout: str) -> str:
    """What the program printed after its "Found " line."""
    lines = stdout.splitlines(keepends=True)
    found = next(i for i, line in enumerate(lines) if '"event": "Found ' in line)
    return "".join(lines[found + 1 :])


def fields(event):
    return [(k, v) for k, v in event.items() if k not in ("module", "timestamp")]


def test_reports_the_meters_still_below_their_minimum(backend, fleet):
    db = backend(
        [
            {"id": 1, "serial": "M1", "balance": 2.0, "wallet": 101},
            {"id": 2, "serial": "M2", "balance": 1.0, "wallet": None},
            {"id": 3, "serial": "M3", "balance": None, "wallet": 103},
            {"id": 4, "serial": "M4", "balance": 5.0, "wallet": 104},
            {"id": 5, "serial": "M5", "balance": 1.0, "wallet": 105},
            {"id": 6, "serial": "M6", "balance": 1.0, "wallet": 106},
            {"id": 7, "serial": "M7", "balance": 1.0, "wallet": 107},
            {"id": 8, "serial": "M8", "balance": 1.0, "wallet": 108},
            {"id": 9, "serial": "M9", "balance": 0.5, "wallet": 109},
        ],
        [
            wallet(101),
            wallet(103, minimum=None),
            wallet(104),
            wallet(105, auto_topup=False),
            wallet(106, auto_topup=None),
            wallet(107),
            wallet(108),
            wallet(109, target=None, balance=0.0),
        ],
    )
    for serial, balance in [("M1", 1.25), ("M7", 5.0), ("M8", 0.0), ("M9", 0.75)]:
        fleet.add_meter(serial, balance=balance)
    fleet.fail("M8", "UNAVAILABLE")

    done = run_program(PROGRAM, env=job_env(db.url, fleet.address, TESSEL_ROLE_KEY=None))

    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)
    failure = events[8]
    assert "UNAVAILABLE" in failure.pop("error")
    info, warning = "info", "warning"
    assert [fields(e) for e in events] == [
        [("event", START), ("level", info)],
        [
            ("serial", "M1"),
            ("latest_balance", 1.25),
            ("wallet_minimum_balance", 5.0),
            ("event", "Fetched latest prepay balance from meter"),
            ("level", info),
        ],
        [
            ("meter_id", 1),
            ("serial", "M1"),
            ("meter_balance", 1.25),
            ("wallet_minimum_balance", 5.0),
            ("event", "Meter needs topup"),
            ("level", info),
        ],
        [("meter_id", 2), ("serial", "M2"), ("event", "Meter has no associated wallet"), ("level", warning)],
        [
            ("meter_id", 5),
            ("serial", "M5"),
            ("meter_balance", 1.0),
            ("wallet_minimum_balance", 5.0),
            ("event", "Meter below minimum but auto_topup disabled"),
            ("level", info),
        ],
        [
            ("meter_id", 6),
            ("serial", "M6"),
            ("meter_balance", 1.0),
            ("wallet_minimum_balance", 5.0),
            ("event", "Meter below minimum but auto_topup disabled"),
            ("level", info),
        ],
        [
            ("serial", "M7"),
            ("latest_balance", 5.0),
            ("wallet_minimum_balance", 5.0),
            ("event", "Fetched latest prepay balance from meter"),
            ("level", info),
        ],
        [
            ("meter_id", 7),
            ("serial", "M7"),
            ("latest_balance", 5.0),
            ("wallet_minimum_balance", 5.0),
            ("event", "Meter balance is now above minimum (likely topped up)"),
            ("level", info),
        ],
        [("meter_id", 8), ("serial", "M8"), ("event", "Failed to fetch latest balance from meter"), ("level", warning)],
        [
            ("serial", "M9"),
            ("latest_balance", 0.75),
            ("wallet_minimum_balance", 5.0),
            ("event", "Fetched latest prepay balance from meter"),
            ("level", info),
        ],
        [
            ("meter_id", 9),
            ("serial", "M9"),
            ("meter_balance", 0.75),
            ("wallet_minimum_balance", 5.0),
            ("event", "Meter needs topup"),
            ("level", info),
        ],
        [("count", 2), ("event", "Found 2 meters needing topup"), ("level", info)],
    ]
    # The live balance is reported as the meter's; the wallet's own balance beside it.
    assert report_after_summary(done.stdout) == (
        "\n=== METERS NEEDING TOPUP ===\n"
        "\nMeter ID: 1\n  Serial: M1\n  Meter Balance: 1.25\n  Wallet ID: 101\n  Wallet Minimum Balance: 5.0\n"
        "  Wallet Target Balance: 20.0\n  Wallet Current Balance: 7.5\n"
        "\nMeter ID: 9\n  Serial: M9\n  Meter Balance: 0.75\n  Wallet ID: 109\n  Wallet Minimum Balance: 5.0\n"
        "  Wallet Target Balance: None\n  Wallet Current Balance: 0.0\n"
        "\nTotal meters needing topup: 2\n=== END RESULTS ===\n\n"
    )
    assert [(call.method, call.serial) for call in fleet.calls] == [
        ("PrepayBalance", serial) for serial in ("M1", "M7", "M8", "M9")
    ]
    (query,) = db.database.requests
    assert (query.method, query.path, query.query) == ("GET", "/rest/v1/meters", [("select", SELECT)])
    assert (query.headers["accept-profile"], query.headers["authorization"]) == ("ambrel", f"Bearer {BACKEND_KEY}")


@pytest.mark.parametrize("live", [math.nan, math.inf, -math.inf], ids=["nan", "inf", "minus-inf"])
def test_a_live_balance_that_is_no_finite_number_is_a_failed_read(backend, fleet, live):
    db = backend(
        [
            {"id": 1, "serial": "M1", "balance": 1.0, "wallet": 101},
            {"id": 2, "serial": "M2", "balance": 1.0, "wallet": 102},
        ],
        [wallet(101), wallet(102)],
    )
    fleet.add_meter("M1", balance=live)
    fleet.add_meter("M2", balance=0.5)

    done = run_program(PROGRAM, env=job_env(db.url, fleet.address))

    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)  # each line parsed strictly
    failure = events[1]
    assert f"not a finite number: {live!r}" in failure.pop("error")
    assert fields(failure) == [
        ("meter_id", 1),
        ("serial", "M1"),
        ("event", "Failed to fetch latest balance from meter"),
        ("level", "warning"),
    ]
    # The run goes on with the next meter; only that one is reported.
    assert messages(events[2:]) == [
        "Fetched latest prepay balance from meter",
        "Meter needs topup",
        "Found 1 meters needing topup",
    ]
    report = report_after_summary(done.stdout)
    assert "Meter ID: 2\n" in report and "Meter ID: 1\n" not in report


def test_empty_table_prints_an_empty_report_and_ignores_arguments(backend, fleet):
    db = backend([])
    done = run_program(PROGRAM, "--esco", "north", env=job_env(db.url, fleet.address))
    assert done.returncode == 0, done.stderr
    events = json_lines(done.stdout)
    assert [fields(e) for e in events[1:]] == [
        [("count", 0), ("event", "Found 0 meters needing topup"), ("level", "info")]
    ]
    assert report_after_summary(done.stdout) == (
        "\n=== METERS NEEDING TOPUP ===\n\nTotal meters needing topup: 0\n=== END RESULTS ===\n\n"
    )


FAILURE = "Failure occurred during wallet_refill job"
ONE_METER = [{"id": 1, "serial": "M1", "balance": 1.0, "wallet": 101}]


@pytest.mark.parametrize(
    "settings, wallets, refused, status, expected",
    [
        (
            dict(SUPABASE_URL=None, PUBLIC_BACKEND_ROLE_KEY=None),
            [wallet(101)],
            False,
            2,
            ["Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."],
        ),
        (
            dict(PUBLIC_BACKEND_ROLE_KEY=""),
            [wallet(101)],
            False,
            3,
            ["Environment variable PUBLIC_BACKEND_ROLE_KEY not set."],
        ),
        (dict(FLY_REGION=None), [wallet(101)], False, 4, ["Environment variable FLY_REGION not set."]),
        (dict(MEDIATOR_SERVER=""), [wallet(101)], False, 5, ["Environment variable MEDIATOR_SERVER not set."]),
        ({}, [wallet(101)], True, 6, [START, FAILURE]),
        # A recorded balance beside a wallet without a minimum: the comparison fails the run.
        ({}, [wallet(101, minimum=None)], False, 6, [START, FAILURE]),
    ],
    ids=["no-url-nor-backend-key", "no-backend-key", "no-fly-region", "no-mediator", "query-refused", "null-minimum"],
)
def test_exit_statuses(backend, fleet, settings, wallets, refused, status, expected):
    db = backend(ONE_METER, wallets)
    if refused:
        db.database.refuse("meters", 400, "meters unavailable")
    fleet.add_meter("M1", balance=0.0)
    done = run_program(PROGRAM, env=job_env(db.url, fleet.address, **settings))
    assert done.returncode == status, done.stderr
    events = json_lines(done.stdout)
    assert messages(events) == expected
    assert fleet.calls == []
    assert "=== METERS NEEDING TOPUP ===" not in done.stdout
    if status < 6:
        assert db.database.requests == []
    else:
        failure = events[-1]
        assert failure["level"] == "error" and "exception" not in failure and failure["error"]
        lines = done.stdout.splitlines()
        # The traceback lines come first, on a line of their own.
        assert lines[-2].startswith("[") and "Error" in lines[-2] and FAILURE in lines[-1]


def test_unreachable_database_is_handed_on_then_status_5(fleet):
    # The client retries a GET whose connection failed (1, 2 and 4 s) before giving up.
    done = run_program(PROGRAM, env=job_env(closed_port_url(), fleet.address), timeout=90)
    assert done.returncode == 5, done.stderr
    events = json_lines(done.stdout)
    assert messages(events) == [START, "Could not reach the database service"]
    assert "ConnectError" in events[1]["error"] and events[1]["level"] == "error"
    assert "=== METERS NEEDING TOPUP ===" not in done.stdout


def test_signatures():
    from norvox.jobs.wallet_refill import WalletRefillJob, main

    assert [
        str(inspect.signature(f))
        for f in (WalletRefillJob, WalletRefillJob.run, WalletRefillJob._check_environment, main)
    ] == ["()", "(self)", "(self)", "()"]
