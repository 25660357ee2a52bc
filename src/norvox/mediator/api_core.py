"""Stand-in for the mediator client library's core client, `DederiMediatorAPI`.

A real gRPC client of the mediator service (grpc/mediator.proto): the meter reads and writes the
fleet jobs and the metric syncers use, each given the meter's serial first. Every call has a
deadline; a failed call raises `MediatorClientException` whose `code_str` names the gRPC status.

The event log and the backlight setting come back as the meter protocol library's types
(`dmp_frame_protocol`), which are imported when those two calls are made.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING

from ._link import DEFAULT_TIMEOUT_SECONDS, MediatorClientBase, from_unix_micros
from .grpc.generated import mediator_pb2

if TYPE_CHECKING:
    from dmp_frame_protocol import DmpEventLogResponse, DmpMessage

__all__ = ["DEFAULT_TIMEOUT_SECONDS", "DederiMediatorAPI", "EventLogPage"]


@dataclass
class EventLogPage:
    """One page of a meter's event log: up to ten `DmpEventLogResponse.EventRec`, page 0 newest."""

    page: int
    events: list[DmpEventLogResponse.EventRec] = field(default_factory=list)


class DederiMediatorAPI(MediatorClientBase):
    """Client of the mediator at `mediator_address` ("host:port") for meter reads and writes."""

    def clock_time_write(self, serial: str) -> None:
        """Sets the meter clock to the current time."""
        self._call("ClockTimeWrite", serial)

    def clock_time_read(self, serial: str) -> datetime:
        """The meter clock, as a UTC date-time."""
        return from_unix_micros(self._call("ClockTimeRead", serial).unix_micros)

    def event_log(self, serial: str, page: int) -> EventLogPage:
        """One page of the meter's event log; page 0 holds the newest events."""
        from dmp_frame_protocol import DmpEventLogResponse

        if isinstance(page, bool) or not isinstance(page, int):
            raise TypeError(f"page must be int, not {type(page).__name__}")
        reply = self._call("EventLog", serial, mediator_pb2.EventLogRequest, page=page)
        events: list[DmpEventLogResponse.EventRec] = []
        for event in reply.events:
            record = DmpEventLogResponse.EventRec()
            record.timestamp = event.timestamp
            record.event_id = event.event_id
            record.event_set = event.event_set
            events.append(record)
        return EventLogPage(page=page, events=events)

    def three_phase_read(self, serial: str, hardware: str | None = None) -> dict[str, float]:
        """Totals of a three-phase meter: "active_import" and "active_export"."""
        reply = self._call("ThreePhaseRead", serial, mediator_pb2.ThreePhaseReadRequest, hardware=hardware)
        return {"active_import": reply.active_import, "active_export": reply.active_export}

    def read_element_a(self, serial: str) -> dict[str, float]:
        """Registers of element A: "import_active" and "export_active"."""
        return _element(self._call("ReadElementA", serial))

    def read_element_b(self, serial: str) -> dict[str, float]:
        """Registers of element B: "import_active" and "export_active"."""
        return _element(self._call("ReadElementB", serial))

    def backlight(self, serial: str) -> DmpMessage.BacklightSettingType | int:
        """The display backlight setting: a `DmpMessage.BacklightSettingType` member, or the
        meter's setting code itself when the protocol library knows no member for it."""
        from dmp_frame_protocol import DmpMessage

        code: int = self._call("Backlight", serial).setting
        try:
            return DmpMessage.BacklightSettingType(code)
        except ValueError:
            return code

    def csq(self, serial: str) -> int:
        """The modem's signal quality (CSQ)."""
        csq: int = self._call("Csq", serial).csq
        return csq


def _element(reply: mediator_pb2.ElementReadReply) -> dict[str, float]:
    return {"import_active": reply.import_active, "export_active": reply.export_active}
