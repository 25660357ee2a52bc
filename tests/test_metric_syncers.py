"""The four metric syncers: each map with its keys in order, the skips, the backlight names, the
clock offset in whole seconds, and the errors that reach the sync runner; against the simulated
database and mediator fleet, with a fake client for answers the fleet cannot give."""

from __future__ import annotations

import enum
import re
import textwrap
from datetime import datetime, timedelta, timezone
from types import SimpleNamespace

import pytest

from dmp_frame_protocol import DmpMessage
from norvox.mediator.mediator_client_exception import MediatorClientException
from norvox.sync import clock_offset_syncer, display_light_syncer, readings_syncer, signal_quality_syncer
from norvox.sync.syncer_base import SyncerBase, UpdatesTuple
from tests.support import run_python
from tests.sync_support import FakeMeterClient, of_module, requests_to

NOTHING = UpdatesTuple(None, None)
Backlight = DmpMessage.BacklightSettingType

SYNCERS = {
    "readings_syncer": (readings_syncer, "ReadingsSyncer"),
    "display_light_syncer": (display_light_syncer, "DisplayLightSyncer"),
    "clock_offset_syncer": (clock_offset_syncer, "ClockOffsetSyncer"),
    "signal_quality_syncer": (signal_quality_syncer, "SignalQualitySyncer"),
}


def registry_reads(server, column):
    return [r for r in requests_to(server, "meter_registry") if r.param("select") == column]


def fetch(cls, client, meter_id, serial, meter):
    result = cls(client, meter_id, serial, meter).fetch_metrics()
    assert type(result) is UpdatesTuple and result[1] is None
    return result


# Readings


def test_single_phase_readings(sync_db, fleet, mediator):
    fleet.add_meter(
        "SP-1",
        element_a={"import_active": 1200.5, "export_active": 3.25},
        element_b={"import_active": 80.0, "export_active": 0.5},
    )
    _, client = sync_db()
    updates, _ = fetch(readings_syncer.ReadingsSyncer, client, "1", "SP-1", mediator)
    assert list(updates.items()) == [("import_a", 1200.5), ("import_b", 80.0), ("export_a", 3.25), ("export_b", 0.5)]
    assert [c.method for c in fleet.calls] == ["ReadElementA", "ReadElementB"]


def test_three_phase_readings_store_the_export_as_an_export(sync_db, fleet, mediator):
    fleet.add_meter("TP-1", three_phase=True, three_phase_totals={"active_import": 5400.0, "active_export": 12.5})
    _, client = sync_db()
    updates, _ = fetch(readings_syncer.ReadingsSyncer, client, "2", "TP-1", mediator)
    assert list(updates.items()) == [("import_a", 5400.0), ("export_a", 12.5)]
    (call,) = fleet.calls
    # The hardware text gates the read only; the read itself is given none.
    assert call.method == "ThreePhaseRead" and not call.request.HasField("hardware")


@pytest.mark.parametrize("meter_id", ["3", "4"], ids=["hardware-none", "hardware-empty"])
def test_meter_without_hardware_type_is_not_read(sync_db, meter_id):
    server, client = sync_db()
    meter = FakeMeterClient()
    assert fetch(readings_syncer.ReadingsSyncer, client, meter_id, "X", meter) == NOTHING
    assert meter.calls == [] and registry_reads(server, "three_phase") == []


def test_readings_values_pass_unchanged_and_missing_keys_fail():
    registry = SimpleNamespace()
    values = {"import_active": object(), "export_active": None}
    meter = FakeMeterClient(read_element_a=values, read_element_b=values)
    syncer = readings_syncer.ReadingsSyncer(registry, "1", "S", meter)
    replaced = {"get_hardware": lambda *_: "P2", "is_three_phase_lookup": lambda *_: 0}
    with pytest.MonkeyPatch.context() as patch:
        for name, fn in replaced.items():
            patch.setattr(readings_syncer, name, fn)
        updates, _ = syncer.fetch_metrics()
        assert updates["import_a"] is values["import_active"] and updates["export_b"] is None
        meter.answers["read_element_b"] = {"import_active": 1.0}
        with pytest.raises(KeyError, match="export_active"):
            syncer.fetch_metrics()
        patch.setattr(readings_syncer, "is_three_phase_lookup", lambda *_: 1)
        meter.answers["three_phase_read"] = {"active_import": 1.0}
        with pytest.raises(KeyError, match="active_export"):
            syncer.fetch_metrics()


# Display light


@pytest.mark.parametrize(
    "meter_id, code, expected, looked_up",
    [
        ("1", Backlight.always_on, "always_on", False),
        ("1", Backlight.timed, "timed", False),
        ("2", Backlight.always_off_sp, "always_off_sp", False),
        ("1", Backlight.normal_sp_or_always_off_3p, "normal_sp", True),
        ("2", Backlight.normal_sp_or_always_off_3p, "always_off_3p", True),
    ],
    ids=["always-on", "timed", "other-member-three-phase", "shared-single-phase", "shared-three-phase"],
)
def test_backlight_names(sync_db, fleet, mediator, meter_id, code, expected, looked_up):
    fleet.add_meter("M", backlight=int(code))
    server, client = sync_db()
    assert fetch(display_light_syncer.DisplayLightSyncer, client, meter_id, "M", mediator) == (
        {"backlight": expected},
        None,
    )
    assert len(registry_reads(server, "three_phase")) == looked_up


class OtherSetting(enum.IntEnum):
    normal_sp_or_always_off_3p = 1


@pytest.mark.parametrize(
    "answer",
    [None, 57, 1, OtherSetting.normal_sp_or_always_off_3p, "always_on"],
    ids=["none", "unknown-code", "bare-code", "foreign-enum", "name-text"],
)
def test_unknown_backlight_is_skipped_with_one_warning(sync_db, log_events, answer):
    server, client = sync_db()
    meter = FakeMeterClient(backlight=answer)
    assert fetch(display_light_syncer.DisplayLightSyncer, client, "1", "M", meter) == NOTHING
    (warning,) = of_module(log_events, "norvox.sync.display_light_syncer")
    assert (warning["event"], warning["level"]) == ("skipping because the backlight value is unknown", "warning")
    assert set(warning) == {"event", "level", "timestamp", "module"}
    assert server.database.requests == []


def test_unknown_code_from_the_fleet_is_skipped(sync_db, fleet, mediator):
    fleet.add_meter("M", backlight=57)
    _, client = sync_db()
    assert fetch(display_light_syncer.DisplayLightSyncer, client, "1", "M", mediator) == NOTHING


# Clock offset

NOW = datetime(2026, 5, 4, 12, 0, 0, 250000, tzinfo=timezone.utc)


@pytest.fixture
def fixed_now(monkeypatch):
    """The syncer's clock reads NOW, then NOW plus a second on its second reading."""
    readings = iter([NOW, NOW + timedelta(seconds=1, microseconds=-250000)])

    class Clock(datetime):
        @classmethod
        def now(cls, tz=None):
            assert tz is timezone.utc
            return next(readings)

    monkeypatch.setattr(clock_offset_syncer, "datetime", SimpleNamespace(datetime=Clock, timezone=timezone))


@pytest.mark.parametrize(
    "meter_clock, seconds",
    [
        (NOW - timedelta(seconds=5), 5),
        (NOW + timedelta(seconds=5), 5),
        (NOW - timedelta(seconds=0.9), 0),
        (NOW + timedelta(seconds=20.9), 20),
        (NOW - timedelta(days=1, seconds=7), 86407),
        (NOW + timedelta(days=1), 86400),
        (NOW + timedelta(days=400, seconds=3), 400 * 86400 + 3),
        (NOW, 0),
        (NOW.astimezone(timezone(timedelta(hours=-7))) - timedelta(seconds=42), 42),
    ],
    ids=[
        "5s-behind",
        "5s-ahead",
        "0.9s",
        "20.9s",
        "day-and-7s",
        "exactly-a-day",
        "400-days",
        "none",
        "other-time-zone",
    ],
)
def test_clock_offset_whole_seconds_days_included(fixed_now, log_events, meter_clock, seconds):
    meter = FakeMeterClient(clock_time_read=meter_clock)
    updates, _ = fetch(clock_offset_syncer.ClockOffsetSyncer, None, "1", "M", meter)
    assert list(updates.items()) == [
        ("clock_time_diff_seconds", seconds),
        ("clock_time_diff_synced_at", "2026-05-04T12:00:01+00:00"),
    ]
    assert type(updates["clock_time_diff_seconds"]) is int
    (info,) = of_module(log_events, "norvox.sync.clock_offset_syncer")
    assert (info["event"], info["level"], info["clock_time_diff_seconds"]) == (
        "clock_time_diff_seconds calculated",
        "info",
        seconds,
    )


def test_clock_offset_against_the_fleet(sync_db, fleet, mediator):
    fleet.add_meter("M", clock_offset=-(86400 + 45.0))
    before = datetime.now(timezone.utc)
    updates, _ = fetch(clock_offset_syncer.ClockOffsetSyncer, None, "1", "M", mediator)
    assert updates["clock_time_diff_seconds"] == 86445
    synced_at = datetime.fromisoformat(updates["clock_time_diff_synced_at"])
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00", updates["clock_time_diff_synced_at"])
    assert before <= synced_at <= datetime.now(timezone.utc)


def test_naive_meter_clock_fails_and_logs_nothing(log_events):
    meter = FakeMeterClient(clock_time_read=datetime(2026, 5, 4, 12, 0))
    with pytest.raises(TypeError, match="offset-naive and offset-aware"):
        clock_offset_syncer.ClockOffsetSyncer(None, "1", "M", meter).fetch_metrics()
    assert of_module(log_events, "norvox.sync.clock_offset_syncer") == []


# Signal quality


def test_signal_quality_from_the_fleet(fleet, mediator):
    fleet.add_meter("M", csq=17)
    assert fetch(signal_quality_syncer.SignalQualitySyncer, None, "1", "M", mediator) == ({"csq": 17}, None)


@pytest.mark.parametrize("answer", [None, 99, "n/a"], ids=["none", "int", "text"])
def test_signal_quality_is_stored_unchanged(answer):
    meter = FakeMeterClient(csq=answer)
    updates, _ = fetch(signal_quality_syncer.SignalQualitySyncer, None, "1", "M", meter)
    assert updates == {"csq": answer} and updates["csq"] is answer


# All four


@pytest.mark.parametrize(
    "name, state",
    [
        ("readings_syncer", dict(element_a={"import_active": 1.0, "export_active": 2.0})),
        ("display_light_syncer", dict(backlight=1)),
        ("clock_offset_syncer", dict(clock_offset=30.0)),
        ("signal_quality_syncer", dict(csq=12)),
    ],
)
def test_twice_for_one_meter_writes_nothing(sync_db, fleet, mediator, name, state):
    module, cls = SYNCERS[name]
    fleet.add_meter("SP-1", **state)
    server, client = sync_db()
    syncer = getattr(module, cls)(client, "1", "SP-1", mediator)
    first, second = syncer.fetch_metrics(), syncer.fetch_metrics()
    assert list(first[0]) == list(second[0])
    if name != "clock_offset_syncer":
        assert first == second
    assert all(r.method == "GET" for r in server.database.requests)


@pytest.mark.parametrize("name", SYNCERS)
def test_meter_failures_reach_the_runner(sync_db, fleet, mediator, name):
    module, cls = SYNCERS[name]
    fleet.add_meter("SP-1", backlight=1)
    fleet.fail("SP-1", "DEADLINE_EXCEEDED")
    _, client = sync_db()
    with pytest.raises(MediatorClientException) as error:
        getattr(module, cls)(client, "1", "SP-1", mediator).fetch_metrics()
    assert error.value.code_str == "DEADLINE_EXCEEDED"


@pytest.mark.parametrize("name", SYNCERS)
def test_class_shape(name):
    module, cls_name = SYNCERS[name]
    cls = getattr(module, cls_name)
    assert cls.__bases__ == (SyncerBase,) and cls.__module__ == f"norvox.sync.{name}"
    assert {k for k in vars(cls) if not k.startswith("__")} == {"fetch_metrics"}
    assert cls.fetch_metrics.__override__ is True
    assert str(__import__("inspect").signature(cls.fetch_metrics)) == "(self)"


@pytest.mark.parametrize(
    "name, loads_logging",
    [
        ("event_journal_syncer", True),
        ("readings_syncer", True),
        ("display_light_syncer", True),
        ("clock_offset_syncer", True),
        ("signal_quality_syncer", False),
    ],
)
def test_which_modules_load_logging(name, loads_logging):
    proc = run_python(
        textwrap.dedent(f"""
        import sys
        import norvox.sync.{name} as module
        print("norvox.util.logging" in sys.modules, getattr(module, "logger", None) is not None)
    """)
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [str(loads_logging)] * 2


def test_replacements_made_before_the_first_import_are_used():
    proc = run_python(
        textwrap.dedent("""
        import dmp_frame_protocol, norvox.util.meters as meters
        from datetime import datetime, timezone
        meters.is_three_phase_lookup = lambda supabase, meter_id: supabase == "three-phase"
        meters.get_hardware = lambda supabase, meter_id: "replaced"
        dmp_frame_protocol.dmp_epoch_seconds_to_datetime = lambda s: datetime(1990, 1, 1, tzinfo=timezone.utc)
        dmp_frame_protocol.dmp_datetime_to_epoch_seconds = lambda d: -1
        from norvox.sync import event_journal_syncer as ejs, readings_syncer, display_light_syncer
        rec = dmp_frame_protocol.DmpEventLogResponse.EventRec(timestamp=0, event_id=1, event_set=0)
        print(ejs.event_rec_to_table_row("1", rec)["timestamp"])
        print(ejs.event_table_row_to_rec({"timestamp": "2000-01-01T00:00:00+00:00", "event_type": 1,
                                          "event_set": 0}).timestamp)
        print(ejs.EventJournalSyncer("three-phase", "1", "S", None).fetch_metrics())
        print(readings_syncer.get_hardware(None, "1"), display_light_syncer.is_three_phase_lookup is
              meters.is_three_phase_lookup)
    """)
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-4:] == [
        "1990-01-01T00:00:00+00:00",
        "-1",
        "UpdatesTuple(updates=None, extra=None)",
        "replaced True",
    ]
