from collections.abc import Mapping
from typing import Any

import dmp_frame_protocol
import structlog.stdlib
from typing_extensions import override

import norvox.sync.syncer_base
from norvox.sync.syncer_base import (
    SyncerBase as SyncerBase,
    UpdatesTuple as UpdatesTuple
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.meters import (
    is_three_phase_lookup as is_three_phase_lookup
)


logger: structlog.stdlib.BoundLogger

def filter_event_log_for_unseen_events(events: list[dmp_frame_protocol.DmpEventLogResponse.EventRec], latest_event_in_db: dmp_frame_protocol.DmpEventLogResponse.EventRec | None) -> list[dmp_frame_protocol.DmpEventLogResponse.EventRec]:
    """
    The events not yet stored: all of them when nothing is stored, else those newer than the stored event or of its second but another event type.
    """

def event_rec_to_table_row(meter_id: str, event: dmp_frame_protocol.DmpEventLogResponse.EventRec) -> dict[str, Any]:
    """The meter_event_log row of one event record."""

def event_table_row_to_rec(row: Mapping[str, Any]) -> dmp_frame_protocol.DmpEventLogResponse.EventRec:
    """The event record of a stored meter_event_log row."""

class EventJournalSyncer(norvox.sync.syncer_base.SyncerBase):
    """Copies a meter's unseen events into meter_event_log."""

    def _fetch_unseen(self, last_seen_event: dmp_frame_protocol.DmpEventLogResponse.EventRec | None) -> list[dmp_frame_protocol.DmpEventLogResponse.EventRec]:
        """The unseen events of the pages read, newest page first."""

    @override
    def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple:
        """Store the meter's unseen events; returns no columns."""
