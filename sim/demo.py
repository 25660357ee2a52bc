"""The demo: the fleet jobs and a sync round of the metric syncers against a simulated database
and mediator fleet, then a hosting round against a simulated machine platform and name server.

    python -m sim.demo        (what `make demo` runs)

Starts both peers on 127.0.0.1, runs each job's program as an operator would, prints its log
lines and what changed in the database, and exits non-zero when a job ends with a status
other than the one expected.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

from sim.console import event_text, heading, parse_event
from sim.db import Database, DatabaseServer
from sim.mediator import MediatorFleet, Tariff

BIN = Path(sys.executable).parent

ESCOS = [{"id": 1, "code": "north"}, {"id": 2, "code": "south"}, {"id": 3, "code": "east"}]

# serial, esco id, mode, recorded drift (s), prepay enabled, hardware, what the meter does when called
METERS = [
    ("DD-1001", 1, "active", 45, True, "P2.ax", "ok"),
    ("DD-1002", 1, "active", 3, True, "P1.ax", "ok"),
    ("DD-1003", 1, "inactive", 120, True, "P2.bx", "ok"),
    ("DD-1004", 1, "active", 75, True, "P2.ax", "unavailable"),
    ("DD-2001", 2, "active", 31, False, "P2.ax", "ok"),
    ("DD-2002", 2, "active", 900, False, "P2.ax", "times out"),
    ("DD-2003", 2, "active", 20, False, "P2.ax", "ok"),
    ("DD-3001", 3, "active", 62, True, "P2.ax", "ok"),
]

# Backend meters with their wallets: serial, recorded balance, live balance on the meter,
# wallet minimum, automatic top-up.
WALLETS = [
    ("DD-1001", 2.50, 1.75, 5.00, True),  # still below: reported
    ("DD-2001", 1.00, 9.40, 5.00, True),  # topped up since the record was written
    ("DD-2003", 0.80, 0.80, 5.00, False),  # below, but no automatic top-up
    ("DD-3001", 12.00, 12.00, 5.00, True),  # fine
]


def tables() -> dict:
    registry = [
        {"id": i, "serial": serial, "mode": mode, "esco": esco, "prepay_enabled": prepay, "hardware": hardware}
        for i, (serial, esco, mode, _, prepay, hardware, _) in enumerate(METERS, 1)
    ]
    shadows = [
        {"id": 100 + i, "meter": i, "clock_time_diff_seconds": drift, "clock_time_diff_synced_at": None}
        for i, (_, _, _, drift, *_) in enumerate(METERS, 1)
    ]
    serials = [m[0] for m in METERS]
    meters = [
        {"id": 500 + serials.index(serial), "serial": serial, "balance": recorded, "wallet": 900 + n}
        for n, (serial, recorded, *_) in enumerate(WALLETS)
    ]
    wallets = [
        {"id": 900 + n, "balance": recorded, "minimum_balance": minimum, "target_balance": 20.0, "auto_topup": auto}
        for n, (_, recorded, _, minimum, auto) in enumerate(WALLETS)
    ]
    return {
        "tessel": {"escos": ESCOS, "meter_registry": registry, "meter_shadows": shadows},
        "ambrel": {"meters": meters, "wallets": wallets},
    }


def missing_future_tariffs(fleet: MediatorFleet):
    """The backend procedure: the active meters of an ESCO whose meter holds no future tariff."""

    def procedure(params: dict) -> list[dict]:
        esco = next((e["id"] for e in ESCOS if e["code"] == params.get("esco_code_in")), None)
        return [
            {
                "meter_id": i,
                "serial": serial,
                "unit_rate": 0.245,
                "standing_charge": 0.61,
                "activation_time": "2027-01-01T00:00:00+00:00",
            }
            for i, (serial, e, mode, *_) in enumerate(METERS, 1)
            if e == esco and mode == "active" and fleet.meter(serial).future_tariff is None
        ]

    return procedure


def start_fleet() -> MediatorFleet:
    fleet = MediatorFleet(default_latency=0.05).start()
    live = {serial: balance for serial, _, balance, _, _ in WALLETS}
    for serial, _, _, drift, prepay, _, behaviour in METERS:
        fleet.add_meter(serial, clock_offset=float(drift), prepay_enabled=prepay, balance=live.get(serial, 0.0))
        if behaviour == "unavailable":
            fleet.fail(serial, "UNAVAILABLE", details="meter link down")
        elif behaviour == "times out":
            fleet.latency(serial, math.inf)
    fleet.meter("DD-3001").future_tariff = Tariff(Decimal("0.231"), Decimal("0.58"))
    return fleet


def show_drifts(db: Database) -> None:
    registry = {r["id"]: r for r in db.table("meter_registry")}
    escos = {e["id"]: e["code"] for e in db.table("escos")}
    print(f"{'serial':10} {'esco':6} {'mode':9} {'drift s':>8}  synced at")
    for row in db.table("meter_shadows"):
        meter = registry[row["meter"]]
        print(
            f"{meter['serial']:10} {escos[meter['esco']]:6} {meter['mode']:9} "
            f"{row['clock_time_diff_seconds']:>8}  {row['clock_time_diff_synced_at'] or '-'}"
        )
    sys.stdout.flush()


def show_fleet(fleet: MediatorFleet, serials: list[str]) -> None:
    print(f"{'serial':10} {'prepay':7} {'balance':>8}  future tariff")
    for serial in serials:
        meter = fleet.meter(serial)
        tariff = meter.future_tariff
        future = f"{tariff.unit_rate}/kWh + {tariff.standing_charge}/day" if tariff else "-"
        print(f"{serial:10} {str(meter.prepay_enabled):7} {meter.balance:>8.2f}  {future}")
    sys.stdout.flush()


def run_program(name: str, args: list[str], env: dict, expected: int) -> None:
    print(f"$ {name} {' '.join(args)}".rstrip(), flush=True)
    proc = subprocess.run([str(BIN / name), *args], env=env, capture_output=True, text=True, timeout=120)
    for line in proc.stdout.splitlines():
        event = parse_event(line)
        print("   " + line if event is None else event_text(event))
    if proc.stderr.strip():
        print(proc.stderr.rstrip())
    print(f"[exit status {proc.returncode}]", flush=True)
    if proc.returncode != expected:
        raise SystemExit(f"{name} ended with status {proc.returncode}, expected {expected}")


def main() -> None:
    fleet = start_fleet()
    db = Database(
        tables(),
        keys={"demo-tessel-role", "demo-backend-role"},
        functions={"meters_missing_future_tariffs": missing_future_tariffs(fleet)},
    )
    with DatabaseServer(db) as server:
        env = {
            k: v
            for k, v in os.environ.items()
            if not k.startswith(("SUPABASE_", "MEDIATOR_", "TESSEL_", "PUBLIC_BACKEND_", "FLY_"))
        }
        env.update(
            SUPABASE_URL=server.url,
            SUPABASE_ANON_KEY="demo-anon",
            TESSEL_ROLE_KEY="demo-tessel-role",
            PUBLIC_BACKEND_ROLE_KEY="demo-backend-role",
            FLY_REGION="ams",
            MEDIATOR_SERVER=fleet.address,
            MEDIATOR_CALL_TIMEOUT_SECONDS="2",
            MAX_PARALLEL_JOBS="4",
        )
        try:
            heading("Clock correction, all ESCOs: drift rows before")
            show_drifts(db)
            run_program("clock_correction", [], env, 0)
            print("\nDrift rows after:")
            show_drifts(db)

            heading("A day later: north's meters have drifted again; clock correction for north only")
            for row in db.schemas["tessel"]["meter_shadows"]:
                if row["meter"] in (1, 2):
                    row["clock_time_diff_seconds"] = 58
            show_drifts(db)
            run_program("clock_correction", ["--esco", "north"], env, 0)
            print("\nDrift rows after:")
            show_drifts(db)

            south = [m[0] for m in METERS if m[1] == 2]
            heading("Pending tariff push for south: the meters without a future tariff get one")
            show_fleet(fleet, south)
            run_program("pending_tariff_push", ["--esco", "south"], env, 0)
            show_fleet(fleet, south)
            print("\nEast's meters all hold a future tariff already: nothing to push (status 10)")
            run_program("pending_tariff_push", ["--esco", "east"], env, 10)

            north = [m[0] for m in METERS if m[1] == 1]
            heading("Prepay switch-off for NORTH (matched without regard to case; P1.ax/P1.cx left alone)")
            show_fleet(fleet, north)
            run_program("prepay_switch_off", ["--esco", "NORTH"], env, 0)
            show_fleet(fleet, north)

            heading("Wallet refill check: meters below their wallet minimum, live balance read")
            show_fleet(fleet, [w[0] for w in WALLETS])
            run_program("wallet_refill", [], env, 0)
        finally:
            fleet.stop()

    # The metric syncers and the mediator hosting run against peers of their own.
    from sim import demo_hosting, demo_sync

    demo_sync.main()
    demo_hosting.main()


if __name__ == "__main__":
    main()
