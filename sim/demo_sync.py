"""The sync round of the demo: the five metric syncers against a simulated database and mediator
fleet.

    python -m sim.demo_sync        (`make demo` runs it through sim.demo)

A small sync runner, outside the system as the real one is, makes each syncer for each meter,
calls `fetch_metrics` and writes the columns it returns on the meter's `meter_shadows` row; the
event journal syncer stores the meter's unseen events in `meter_event_log` itself. The runner
runs as its own process so its log lines can be shown as an operator reads them. Two rounds run:
the second, after one new event, shows that nothing is stored twice. Any result other than the
one expected ends the demo with SystemExit and a message.
"""

from __future__ import annotations

import json
import subprocess
import sys
from collections import Counter
from datetime import datetime, timezone
from pathlib import Path

from dmp_frame_protocol import dmp_datetime_to_epoch_seconds, dmp_epoch_seconds_to_datetime
from sim.console import brief, event_text, heading, parse_event
from sim.db import Database, DatabaseServer
from sim.mediator import MediatorFleet, SimEvent

ANON_KEY = "demo-anon"
ROLE_KEY = "demo-sync-role"

SYNCERS = [
    ("norvox.sync.event_journal_syncer", "EventJournalSyncer"),
    ("norvox.sync.readings_syncer", "ReadingsSyncer"),
    ("norvox.sync.display_light_syncer", "DisplayLightSyncer"),
    ("norvox.sync.clock_offset_syncer", "ClockOffsetSyncer"),
    ("norvox.sync.signal_quality_syncer", "SignalQualitySyncer"),
]

COLUMNS = ["import_a", "import_b", "export_a", "export_b", "backlight", "clock_time_diff_seconds", "csq"]

# Event times are the meter protocol's epoch seconds; the meters' logs start here.
T0 = dmp_datetime_to_epoch_seconds(datetime(2024, 6, 1, 8, 0, tzinfo=timezone.utc))

# serial, hardware, three-phase, clock offset (s), backlight code, signal quality, state, events
METERS = [
    # Two page-full pages of events and three more: the journal reads pages 0, 1 and 2.
    (
        "DD-5001",
        "P2.ax",
        False,
        2.5,
        0,
        21,
        dict(
            element_a={"import_active": 1520.25, "export_active": 3.5},
            element_b={"import_active": 310.0, "export_active": 0.0},
        ),
        [SimEvent(T0 + 60 * i, 10 + i % 5, i % 2) for i in range(23)],
    ),
    # Three-phase: the journal skips it, the readings are its totals, code 1 means "always off".
    (
        "DD-5002",
        "T3.ax",
        True,
        -1.0,
        1,
        14,
        dict(three_phase_totals={"active_import": 88_210.5, "active_export": 1_204.75}),
        [SimEvent(T0 + 30, 12)],
    ),
    # No hardware type: no readings; an unknown backlight code; two events with id 0.
    (
        "DD-5003",
        None,
        False,
        0.5,
        57,
        9,
        {},
        [SimEvent(T0 + 10, 0), SimEvent(T0 + 20, 11), SimEvent(T0 + 30, 0), SimEvent(T0 + 40, 13)],
    ),
    # Its clock a day and 7 s behind; older events stored already, three newer on the meter.
    (
        "DD-5004",
        "P2.ax",
        False,
        -(86_400 + 7.0),
        1,
        25,
        dict(
            element_a={"import_active": 77.5, "export_active": 0.25},
            element_b={"import_active": 12.0, "export_active": 0.0},
        ),
        [SimEvent(T0 - 600 + 60 * i, 14) for i in range(5)] + [SimEvent(T0 + 5 * i, 15 + i) for i in range(3)],
    ),
]

# Rows of DD-5004 stored by an earlier sync: its first five events.
STORED_EARLIER = 5


def dmp_time(seconds: int) -> str:
    return dmp_epoch_seconds_to_datetime(seconds).isoformat()


def tables() -> dict:
    registry = [
        {"id": i, "serial": serial, "hardware": hardware, "three_phase": three_phase}
        for i, (serial, hardware, three_phase, *_) in enumerate(METERS, 1)
    ]
    shadows = [
        {"id": 100 + i, "meter": i, **{column: None for column in COLUMNS}, "clock_time_diff_synced_at": None}
        for i in range(1, len(METERS) + 1)
    ]
    meter_id = str(next(i for i, m in enumerate(METERS, 1) if m[0] == "DD-5004"))
    earlier = METERS[3][7][:STORED_EARLIER]
    event_log = [
        {"meter_id": meter_id, "timestamp": dmp_time(e.timestamp), "event_type": e.event_id, "event_set": e.event_set}
        for e in earlier
    ]
    return {"tessel": {"meter_registry": registry, "meter_shadows": shadows, "meter_event_log": event_log}}


def start_fleet() -> MediatorFleet:
    fleet = MediatorFleet().start()
    for serial, _, three_phase, offset, backlight, csq, state, events in METERS:
        fleet.add_meter(
            serial,
            three_phase=three_phase,
            clock_offset=offset,
            backlight=backlight,
            csq=csq,
            events=list(events),
            **state,
        )
    return fleet


# The sync runner, in its own process


def run_syncers(database_url: str, mediator_address: str) -> None:
    """For every registry meter, every syncer: fetch, then write the columns returned. Prints one
    JSON line per syncer (`runner`), beside the syncers' own log lines."""
    import importlib

    from norvox.mediator.api_core import DederiMediatorAPI
    from norvox.util.supabase import supa_client

    classes = [getattr(importlib.import_module(module), name) for module, name in SYNCERS]
    client = supa_client(database_url, ANON_KEY, ROLE_KEY)
    meters = client.table("meter_registry").select("id,serial").order("id").execute().data
    with DederiMediatorAPI(mediator_address=mediator_address, timeout=5.0) as mediator:
        for meter in meters:
            for cls in classes:
                outcome = {"runner": cls.__name__, "serial": meter["serial"]}
                try:
                    updates, _ = cls(client, str(meter["id"]), meter["serial"], mediator).fetch_metrics()
                except Exception as error:  # the runner reports a failed syncer and goes on
                    outcome["error"] = f"{type(error).__name__}: {error}"
                else:
                    if updates:
                        client.table("meter_shadows").update(updates).eq("meter", meter["id"]).execute()
                    outcome["updates"] = updates
                print(json.dumps(outcome), flush=True)


# Showing a round


def show_event_log(db: Database) -> None:
    serials = {str(r["id"]): r["serial"] for r in db.table("meter_registry")}
    rows = db.table("meter_event_log")
    print(f"meter_event_log: {len(rows)} rows")
    for meter_id, serial in serials.items():
        mine = sorted((r for r in rows if r["meter_id"] == meter_id), key=lambda r: r["timestamp"], reverse=True)
        print(f"  {serial}: {len(mine)} rows" + (", newest first:" if mine else ""))
        for r in mine[:4]:
            print(f"    {r['timestamp']}  event_type={r['event_type']:<3} event_set={r['event_set']}")
        if len(mine) > 4:
            print(f"    ... {len(mine) - 4} older")
    sys.stdout.flush()


def show_columns(db: Database) -> None:
    registry = {r["id"]: r for r in db.table("meter_registry")}
    widths = [max(len(c), 13) for c in COLUMNS]
    print(f"{'serial':9} {'3p':3} " + " ".join(f"{c:>{w}}" for c, w in zip(COLUMNS, widths, strict=True)))
    for row in db.table("meter_shadows"):
        meter = registry[row["meter"]]
        values = ["-" if row[c] is None else str(row[c]) for c in COLUMNS]
        print(
            f"{meter['serial']:9} {'yes' if meter['three_phase'] else 'no':3} "
            + " ".join(f"{v:>{w}}" for v, w in zip(values, widths, strict=True))
        )
    sys.stdout.flush()


def run_round(database_url: str, mediator_address: str) -> list[dict]:
    """Run the sync runner; print its log lines and results; return the results."""
    proc = subprocess.run(
        [sys.executable, "-m", "sim.demo_sync", "--runner", database_url, mediator_address],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=Path(__file__).resolve().parent.parent,
    )
    outcomes = []
    for line in proc.stdout.splitlines():
        event = parse_event(line)
        if event is None:
            print("   " + line)
            continue
        if "runner" in event:
            outcomes.append(event)
            result = (
                f"error {event['error']}"
                if "error" in event
                else "no columns"
                if event["updates"] is None
                else brief(event["updates"])
            )
            print(f"  -> {event['serial']} {event['runner']}: {result}")
            continue
        print(event_text(event, indent="     ", render=lambda v: brief(v, 90)))
    if proc.stderr.strip():
        print(proc.stderr.rstrip())
    sys.stdout.flush()
    if proc.returncode != 0:
        raise SystemExit(f"the sync runner ended with status {proc.returncode}")
    return outcomes


# What each round must show


def expect(condition: bool, message: str) -> None:
    if not condition:
        raise SystemExit(f"sync demo: {message}")


def event_keys(db: Database) -> Counter:
    return Counter((r["meter_id"], r["timestamp"], r["event_type"]) for r in db.table("meter_event_log"))


def expected_rows(serial: str) -> set:
    meter_id = str(next(i for i, m in enumerate(METERS, 1) if m[0] == serial))
    events = next(m[7] for m in METERS if m[0] == serial)
    return {(meter_id, dmp_time(e.timestamp), e.event_id) for e in events if e.event_id != 0}


def check_first_round(db: Database, outcomes: list[dict]) -> None:
    expect(not [o for o in outcomes if "error" in o], "a syncer failed in the first round")
    keys = event_keys(db)
    expect(max(keys.values()) == 1, "a meter_event_log row is stored twice")
    stored = set(keys)
    want = expected_rows("DD-5001") | expected_rows("DD-5003") | expected_rows("DD-5004")
    expect(stored == want, f"meter_event_log holds {len(stored)} rows, expected {len(want)}")
    columns = {r["meter"]: r for r in db.table("meter_shadows")}
    expect(columns[1]["import_b"] == 310.0 and columns[1]["backlight"] == "always_on", "DD-5001's columns")
    expect(
        (columns[2]["import_a"], columns[2]["export_a"], columns[2]["import_b"]) == (88_210.5, 1_204.75, None),
        "DD-5002's readings (a three-phase export belongs under export_a)",
    )
    expect(columns[2]["backlight"] == "always_off_3p", "DD-5002's backlight")
    expect(columns[3]["import_a"] is None and columns[3]["backlight"] is None, "DD-5003 should be skipped")
    expect(columns[4]["clock_time_diff_seconds"] == 86_407, "DD-5004's clock offset should count the whole day")
    expect(columns[4]["backlight"] == "normal_sp", "DD-5004's backlight")


def check_second_round(db: Database, before: Counter, added: tuple) -> None:
    keys = event_keys(db)
    expect(max(keys.values()) == 1, "a meter_event_log row is stored twice")
    expect(set(keys) - set(before) == {added}, "the second round should store exactly the one new event")
    expect(set(before) <= set(keys), "the second round lost rows")


def main() -> None:
    fleet = start_fleet()
    db = Database(tables(), keys={ROLE_KEY})
    try:
        with DatabaseServer(db) as server:
            heading("Sync round 1: every syncer for every meter; the runner writes the columns returned")
            show_event_log(db)
            show_columns(db)
            print()
            check_first_round(db, run_round(server.url, fleet.address))
            print()
            show_event_log(db)
            show_columns(db)

            newest = METERS[0][7][-1]
            new_event = SimEvent(newest.timestamp, 99, 1)
            heading(
                "Sync round 2: DD-5001 logged one more event in the second of its newest one "
                "(another type);\nnothing already stored is stored again"
            )
            fleet.meter("DD-5001").events.append(new_event)
            before = event_keys(db)
            print()
            run_round(server.url, fleet.address)
            print()
            show_event_log(db)
            show_columns(db)
            check_second_round(db, before, ("1", dmp_time(new_event.timestamp), new_event.event_id))
            print(
                f"\nmeter_event_log: {len(before)} rows before round 2, {len(event_keys(db))} after; "
                "no row stored twice.",
                flush=True,
            )
    finally:
        fleet.stop()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--runner"]:
        run_syncers(*sys.argv[2:4])
    else:
        main()
