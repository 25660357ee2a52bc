"""Fixtures and helpers shared by the syncer tests: a registry and event-log database, the
meter's mediator client against the simulated fleet, and the module loggers' events."""

from __future__ import annotations

import json
import logging
from types import SimpleNamespace

import pytest

from dmp_frame_protocol import DmpEventLogResponse, dmp_epoch_seconds_to_datetime
from norvox.mediator.api_core import DederiMediatorAPI
from norvox.util.supabase import supa_client

# meter_registry: a single-phase meter, a three-phase one, one without a hardware type, and
# one whose hardware type is empty.
REGISTRY = [
    {"id": 1, "serial": "SP-1", "hardware": "P2.ax", "three_phase": False},
    {"id": 2, "serial": "TP-1", "hardware": "T3.ax", "three_phase": True},
    {"id": 3, "serial": "NH-1", "hardware": None, "three_phase": False},
    {"id": 4, "serial": "EH-1", "hardware": "", "three_phase": True},
]


@pytest.fixture
def sync_db(database):
    """sync_db(event_rows=...) -> (server, client): the registry and meter_event_log tables."""

    def start(event_rows=()):
        server = database({"tessel": {"meter_registry": REGISTRY, "meter_event_log": list(event_rows)}})
        return server, supa_client(server.url, "anon", "role")

    return start


@pytest.fixture
def mediator(fleet):
    """The meters' mediator client, against the simulated fleet."""
    with DederiMediatorAPI(mediator_address=fleet.address, timeout=5.0) as client:
        yield client


class _Events(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.events: list[dict] = []

    def emit(self, record):
        self.events.append(json.loads(record.getMessage()))


@pytest.fixture
def log_events():
    """The events the module loggers emit during the test, as the JSON objects they render."""
    import norvox.util.logging  # noqa: F401  (sets up the root handler first)

    handler = _Events()
    # The logging set-up leaves the root logger alone when the test runner's handlers came
    # first; the level it would have set is set here.
    level = logging.root.level
    logging.root.setLevel(logging.INFO)
    logging.root.addHandler(handler)
    yield handler.events
    logging.root.removeHandler(handler)
    logging.root.setLevel(level)


def of_module(events: list[dict], module: str) -> list[dict]:
    return [e for e in events if e.get("module") == module]


def rec(timestamp, event_id, event_set=0):
    """An event record as the mediator client gives it."""
    record = DmpEventLogResponse.EventRec()
    record.timestamp, record.event_id, record.event_set = timestamp, event_id, event_set
    return record


def iso(timestamp) -> str:
    """The stored text of an event time stamp (DMP epoch seconds)."""
    return dmp_epoch_seconds_to_datetime(timestamp).isoformat()


def row(timestamp, event_type, event_set=0, meter_id="1"):
    """A meter_event_log row."""
    return {"meter_id": meter_id, "timestamp": iso(timestamp), "event_type": event_type, "event_set": event_set}


class FakeMeterClient:
    """A mediator client for answers the fleet cannot give: event-log pages as given (a list of
    lists of records, or of any `events` value), and fixed answers of the other reads."""

    def __init__(self, pages=(), **answers):
        self.pages = list(pages)
        self.answers = answers
        self.calls: list[tuple] = []

    def event_log(self, serial, page):
        self.calls.append(("event_log", serial, page))
        return SimpleNamespace(page=page, events=self.pages[page] if page < len(self.pages) else [])

    def __getattr__(self, name):
        if name not in self.answers:
            raise AttributeError(name)

        def read(serial, **kwargs):
            self.calls.append((name, serial, kwargs))
            return self.answers[name]

        return read


def requests_to(server, table: str, method: str | None = None):
    return [r for r in server.database.requests if r.path == f"/rest/v1/{table}" and method in (None, r.method)]
