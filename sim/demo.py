"""The demo: the fleet jobs run against a simulated database and mediator fleet.

    python -m sim.demo        (what `make demo` runs)

Starts both peers on 127.0.0.1, runs each job's program as an operator would, prints its log
lines and what changed in the database, and exits non-zero when a job ends with a status
other than the one expected.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

from sim.db import Database, DatabaseServer
from sim.mediator import MediatorFleet

BIN = Path(sys.executable).parent

ESCOS = [{"id": 1, "code": "north"}, {"id": 2, "code": "south"}, {"id": 3, "code": "east"}]

# serial, esco id, mode, recorded drift (s), what the meter does when called
METERS = [
    ("DD-1001", 1, "active", 45, "ok"),
    ("DD-1002", 1, "active", 3, "ok"),
    ("DD-1003", 1, "inactive", 120, "ok"),
    ("DD-1004", 1, "active", 75, "unavailable"),
    ("DD-2001", 2, "active", 31, "ok"),
    ("DD-2002", 2, "active", 900, "times out"),
    ("DD-2003", 2, "active", 20, "ok"),
    ("DD-3001", 3, "active", 62, "ok"),
]


def tables() -> dict:
    registry = [{"id": i, "serial": serial, "mode": mode, "esco": esco, "prepay_enabled": False,
                 "hardware": "P2.ax"} for i, (serial, esco, mode, _, _) in enumerate(METERS, 1)]
    shadows = [{"id": 100 + i, "meter": i, "clock_time_diff_seconds": drift,
                "clock_time_diff_synced_at": None} for i, (_, _, _, drift, _) in enumerate(METERS, 1)]
    return {"tessel": {"escos": ESCOS, "meter_registry": registry, "meter_shadows": shadows}}


def start_fleet() -> MediatorFleet:
    fleet = MediatorFleet(default_latency=0.05).start()
    for serial, _, _, drift, behaviour in METERS:
        fleet.add_meter(serial, clock_offset=float(drift))
        if behaviour == "unavailable":
            fleet.fail(serial, "UNAVAILABLE", details="meter link down")
        elif behaviour == "times out":
            fleet.latency(serial, math.inf)
    return fleet


def heading(text: str) -> None:
    width = shutil.get_terminal_size((100, 20)).columns
    print("\n" + "=" * min(width, 100))
    print(text)
    print("=" * min(width, 100), flush=True)


def show_drifts(db: Database) -> None:
    registry = {r["id"]: r for r in db.table("meter_registry")}
    escos = {e["id"]: e["code"] for e in db.table("escos")}
    print(f"{'serial':10} {'esco':6} {'mode':9} {'drift s':>8}  synced at")
    for row in db.table("meter_shadows"):
        meter = registry[row["meter"]]
        print(f"{meter['serial']:10} {escos[meter['esco']]:6} {meter['mode']:9} "
              f"{row['clock_time_diff_seconds']:>8}  {row['clock_time_diff_synced_at'] or '-'}")
    sys.stdout.flush()


def run_program(name: str, args: list[str], env: dict, expected: int) -> None:
    print(f"$ {name} {' '.join(args)}".rstrip(), flush=True)
    proc = subprocess.run([str(BIN / name), *args], env=env, capture_output=True, text=True, timeout=120)
    for line in proc.stdout.splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            print("   " + line)
            continue
        fields = {k: v for k, v in event.items() if k not in ("module", "event", "level", "timestamp")}
        extra = " ".join(f"{k}={json.dumps(v)}" for k, v in fields.items())
        print(f"  {event['level']:7} {event['event']}  {extra}")
    if proc.stderr.strip():
        print(proc.stderr.rstrip())
    print(f"[exit status {proc.returncode}]", flush=True)
    if proc.returncode != expected:
        raise SystemExit(f"{name} ended with status {proc.returncode}, expected {expected}")


def main() -> None:
    db = Database(tables(), keys={"demo-tessel-role"})
    fleet = start_fleet()
    with DatabaseServer(db) as server:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("SUPABASE_", "MEDIATOR_"))}
        env.update(SUPABASE_URL=server.url, SUPABASE_ANON_KEY="demo-anon", TESSEL_ROLE_KEY="demo-tessel-role",
                   MEDIATOR_SERVER=fleet.address, MEDIATOR_CALL_TIMEOUT_SECONDS="2", MAX_PARALLEL_JOBS="4")
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
        finally:
            fleet.stop()


if __name__ == "__main__":
    main()
