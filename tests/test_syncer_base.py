"""The syncer base stand-in and the meter protocol library stand-in, as the syncers rely on them."""

from __future__ import annotations

import enum
from datetime import datetime, timedelta, timezone

import pytest

from dmp_frame_protocol import (
    DMP_EPOCH,
    DmpEventLogResponse,
    DmpMessage,
    dmp_datetime_to_epoch_seconds,
    dmp_epoch_seconds_to_datetime,
)
from norvox.sync.syncer_base import SyncerBase, UpdatesTuple


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("db", "7", "SER", "client"), {}),
        ((), dict(dederi_client="client", serial="SER", meter_id="7", supabase="db")),
        (("db", "7"), dict(serial="SER", dederi_client="client")),
    ],
    ids=["positional", "keywords", "mixed"],
)
def test_syncer_base_keeps_its_four_attributes(args, kwargs):
    syncer = SyncerBase(*args, **kwargs)
    assert (syncer.supabase, syncer.meter_id, syncer.serial, syncer.dederi_client) == ("db", "7", "SER", "client")
    with pytest.raises(NotImplementedError):
        syncer.fetch_metrics()


def test_updates_tuple_is_a_pair():
    updates = UpdatesTuple({"csq": 9}, None)
    assert tuple(updates) == ({"csq": 9}, None) and len(updates) == 2
    with pytest.raises(TypeError):
        UpdatesTuple({"csq": 9})


def test_event_record_is_made_empty_then_filled():
    record = DmpEventLogResponse.EventRec()
    assert (record.timestamp, record.event_id, record.event_set) == (None, None, None)
    record.timestamp, record.event_id, record.event_set = 5, 3, 1
    assert record == DmpEventLogResponse.EventRec(5, 3, 1)


def test_backlight_settings():
    members = DmpMessage.BacklightSettingType
    assert issubclass(members, enum.Enum)
    assert members(1).name == "normal_sp_or_always_off_3p"
    assert len({m.value for m in members}) == len(members) >= 3


@pytest.mark.parametrize(
    "seconds, moment",
    [
        (0, DMP_EPOCH),
        (86407, datetime(2000, 1, 2, 0, 0, 7, tzinfo=timezone.utc)),
        (-1, datetime(1999, 12, 31, 23, 59, 59, tzinfo=timezone.utc)),
    ],
)
def test_epoch_conversions(seconds, moment):
    assert dmp_epoch_seconds_to_datetime(seconds) == moment
    assert dmp_epoch_seconds_to_datetime(seconds).utcoffset() == timedelta(0)
    assert dmp_datetime_to_epoch_seconds(moment) == seconds
    assert dmp_datetime_to_epoch_seconds(moment.astimezone(timezone(timedelta(hours=3)))) == seconds


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: dmp_epoch_seconds_to_datetime(1.5), TypeError),
        (lambda: dmp_epoch_seconds_to_datetime(True), TypeError),
        (lambda: dmp_datetime_to_epoch_seconds("2000-01-01"), TypeError),
        (lambda: dmp_datetime_to_epoch_seconds(datetime(2000, 1, 1)), ValueError),
    ],
    ids=["float", "bool", "text", "naive"],
)
def test_epoch_conversions_refuse_bad_input(call, error):
    with pytest.raises(error):
        call()
