"""A tool that uses the toolkit as its callers do; `mypy --strict` checks it against the package's
stubs and annotations (tests/test_typing.py). It is type-checked, never run."""

from __future__ import annotations

import datetime
import os
from pathlib import Path

from norvox.drav.drav_csv import DRAVCSV
from norvox.drav.drav_csv_record import DRAVCSVRecord
from norvox.orchestrate.adapter.container import Container, ContainerState
from norvox.orchestrate.adapter.machines_backend import MachinesBackend
from norvox.profile_logs.replicas.mirror_diff import ComparisonReport, compare_replicas
from norvox.profile_logs.replicas.mirror_gaps import check_missing_files, check_missing_files_for_folder
from norvox.sync.clock_offset_syncer import ClockOffsetSyncer
from norvox.sync.syncer_base import SyncerBase, UpdatesTuple
from norvox.util.config import load_config
from norvox.util.supabase import supa_client

UTC = datetime.timezone.utc


def archive_day(folder: Path, serial: str, readings: list[tuple[datetime.datetime, float, float | None]]) -> float:
    """Write a meter's day and read it back: the day's import total."""
    records = [DRAVCSVRecord(moment, imported, exported) for moment, imported, exported in readings]
    DRAVCSV.write(serial, str(folder), records)
    DRAVCSV.write(serial, str(folder), records, "A")
    total = 0.0
    for name in sorted(os.listdir(folder)):
        for record in DRAVCSV.read_from_file(str(folder / name)):
            if record.import_value is not None:
                total += record.import_value
            line: str = record.to_csv_line()
            assert line
    return total


def replica_health(primary: Path, mirror: Path, first: datetime.date, last: datetime.date) -> list[str]:
    """What an operator is told about two replicas of the daily files."""
    report: ComparisonReport = compare_replicas(primary, mirror, first, last)
    lines = [f"{info.relative_path}: only in the primary" for info in report.only_in_folder_1]
    lines += [f"{diff.relative_path}: {diff.size_diff:+d} bytes" for diff in report.different_files]
    missing: list[datetime.date] = check_missing_files_for_folder(primary, first, last)
    lines += [f"missing {day.isoformat()}" for day in missing]
    for folder, days in check_missing_files(str(mirror), first, last).items():
        lines += [f"{folder}: missing {day:%Y-%m-%d}" for day in days]
    return lines


def clock_drift(syncer: ClockOffsetSyncer) -> int | None:
    """The drift in seconds that a sync of the meter's clock gives, if any."""
    result: UpdatesTuple = syncer.fetch_metrics()
    updates = result[0]
    if updates is None:
        return None
    drift = updates["clock_time_diff_seconds"]
    return drift if isinstance(drift, int) else None


def make_syncer(serial: str, meter_id: str) -> SyncerBase:
    settings = load_config()
    url, key = settings["SUPABASE_URL"], settings["SUPABASE_ANON_KEY"]
    if url is None or key is None:
        raise SystemExit("no database settings")
    from norvox.mediator.api_core import DederiMediatorAPI

    client = DederiMediatorAPI(mediator_address=settings["MEDIATOR_SERVER"] or "localhost:50051")
    return ClockOffsetSyncer(supa_client(url, key, settings["SUPABASE_ACCESS_TOKEN"]), meter_id, serial, client)


def running_mediators(backend: MachinesBackend, meter_id: str) -> list[str]:
    """The ids of the meter's running mediator machines, and its address."""
    containers: list[Container] = backend.list(("meter_id", meter_id), ContainerState.STARTED)
    ids = [container.id for container in containers]
    mine = backend.get(meter_id)
    if mine is not None:
        address = backend.mediator_address(meter_id, backend.serial or "")
        if address is not None:
            ids.append(address)
    return ids


def new_mediator(backend: MachinesBackend, meter_id: str, serial: str, ip_address: str) -> str:
    machine_id = backend.create("mediator", meter_id, serial, ip_address, port=50051, skip_confirm=True)
    backend.stop(machine_id)
    backend.start(machine_id)
    backend.destroy(machine_id, force=True)
    return machine_id


def make_backend(token: str) -> MachinesBackend:
    return MachinesBackend(token, "fdaa::3", "registry.example/mediator:1", app_name="mediators", region="ams")
