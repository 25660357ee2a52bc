"""Stand-in for the meter protocol library (DMP frames): the event-log record, the backlight
setting enumeration and the conversions between date-times and the protocol's epoch seconds.

DMP epoch seconds count whole seconds from 2000-01-01T00:00:00 UTC.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any

__all__ = [
    "DMP_EPOCH",
    "DmpEventLogResponse",
    "DmpMessage",
    "dmp_datetime_to_epoch_seconds",
    "dmp_epoch_seconds_to_datetime",
]

DMP_EPOCH = datetime(2000, 1, 1, tzinfo=timezone.utc)
_SECOND = timedelta(seconds=1)


class DmpEventLogResponse:
    """The meter's answer to an event-log read."""

    @dataclass
    class EventRec:
        """One event of the meter's event log: its time in DMP epoch seconds, the event id and
        the event set it belongs to. Made empty, then given its fields."""

        timestamp: int | None = None
        event_id: Any = None
        event_set: Any = None


class DmpMessage:
    """Message-level types of the protocol."""

    class BacklightSettingType(enum.IntEnum):
        """The display backlight setting codes. Code 1 means "normal" on a single-phase meter
        and "always off" on a three-phase one."""

        always_on = 0
        normal_sp_or_always_off_3p = 1
        always_off_sp = 2
        normal_3p = 3
        timed = 4


def dmp_epoch_seconds_to_datetime(seconds: int) -> datetime:
    """The UTC date-time of a count of DMP epoch seconds."""
    if isinstance(seconds, bool) or not isinstance(seconds, int):
        raise TypeError(f"DMP epoch seconds must be int, not {type(seconds).__name__}")
    return DMP_EPOCH + timedelta(seconds=seconds)


def dmp_datetime_to_epoch_seconds(moment: datetime) -> int:
    """The DMP epoch seconds of a time-zone-aware date-time (fractions of a second dropped)."""
    if not isinstance(moment, datetime):
        raise TypeError(f"expected a datetime, not {type(moment).__name__}")
    if moment.utcoffset() is None:
        raise ValueError(f"datetime without a time zone: {moment.isoformat()}")
    return (moment - DMP_EPOCH) // _SECOND
