"""The event journal syncer: the newest stored row, the page loop, the id-0 drop, the one upsert
and the row format, against the simulated database over HTTP and the simulated mediator fleet
(a fake client where a test needs pages the fleet cannot give)."""

from __future__ import annotations

import enum
import inspect
from datetime import datetime, timedelta, timezone

import postgrest
import pytest

from norvox.mediator.mediator_client_exception import MediatorClientException
from norvox.sync import event_journal_syncer as ejs
from norvox.sync.syncer_base import SyncerBase, UpdatesTuple
from sim.mediator import SimEvent
from tests.sync_support import FakeMeterClient, iso, of_module, rec, requests_to, row

MODULE = "norvox.sync.event_journal_syncer"
NOTHING = UpdatesTuple(None, None)


class Kind(enum.IntEnum):
    NONE = 0
    POWER_FAIL = 5
    COVER_OPEN = 7


class Named(enum.Enum):
    ZERO = 0
    TAMPER = 9


def stored(server, meter_id="1"):
    """The meter's rows as the database holds them, as (timestamp, event_type, event_set)."""
    return [
        (r["timestamp"], r["event_type"], r["event_set"])
        for r in server.database.table("meter_event_log")
        if r["meter_id"] == meter_id
    ]


def written(events):
    return [(iso(e.timestamp), int(e.event_id), e.event_set) for e in events]


def messages(events):
    return [e["event"] for e in of_module(events, MODULE)]


# Against the fleet


def test_first_sync_stores_every_page_and_a_second_writes_nothing(sync_db, fleet, mediator, log_events):
    fleet.add_meter("SP-1", events=[SimEvent(1000 + i, i % 4 + 1, i % 2) for i in range(23)])
    server, client = sync_db()
    syncer = ejs.EventJournalSyncer(client, "1", "SP-1", mediator)

    result = syncer.fetch_metrics()
    assert result == NOTHING and type(result) is UpdatesTuple
    assert stored(server) == [(iso(1000 + i), i % 4 + 1, i % 2) for i in range(22, -1, -1)]
    assert [c.request.page for c in fleet.calls] == [0, 1, 2]
    assert messages(log_events) == ["unseen in current fetched logs"] * 3 + [
        "unseen events count",
        "23 records to insert",
        "supabase insert response",
    ]

    (read,) = requests_to(server, "meter_event_log", "GET")
    assert read.query == [
        ("select", "timestamp,event_type,event_set"),
        ("meter_id", "eq.1"),
        ("order", "timestamp.desc"),
        ("limit", "1"),
    ]
    (post,) = requests_to(server, "meter_event_log", "POST")
    assert post.param("on_conflict") == "meter_id,timestamp,event_type"
    assert "resolution=ignore-duplicates" in post.headers["prefer"]
    assert post.body == [row(1000 + i, i % 4 + 1, i % 2) for i in range(22, -1, -1)]

    fleet.reset_calls()
    log_events.clear()
    before = server.database.table("meter_event_log")
    assert syncer.fetch_metrics() == NOTHING
    assert server.database.table("meter_event_log") == before
    assert len(requests_to(server, "meter_event_log", "POST")) == 1
    assert [c.request.page for c in fleet.calls] == [0]
    last_seen, page, count = of_module(log_events, MODULE)
    assert last_seen["event"] == "last seen event row"
    assert last_seen["last_seen_event"] == {"timestamp": iso(1022), "event_type": 3, "event_set": 0}
    assert (page["event"], page["unseen_in_fetched"]) == ("unseen in current fetched logs", [])
    assert (count["event"], count["unseen_event_count"]) == ("unseen events count", 0)


def test_events_of_the_stored_second_with_another_type_are_stored(sync_db, fleet, mediator):
    fleet.add_meter("SP-1", events=[SimEvent(100, 5), SimEvent(99, 2)])
    server, client = sync_db()
    syncer = ejs.EventJournalSyncer(client, "1", "SP-1", mediator)
    syncer.fetch_metrics()
    # A cover opening in the same second as the stored power failure, and the next second's.
    fleet.meter("SP-1").events += [SimEvent(100, 7), SimEvent(101, 1)]
    syncer.fetch_metrics()
    assert sorted(stored(server)) == sorted([(iso(100), 5, 0), (iso(99), 2, 0), (iso(100), 7, 0), (iso(101), 1, 0)])
    assert requests_to(server, "meter_event_log", "POST")[-1].body == [row(101, 1), row(100, 7)]


def test_three_phase_meter_is_skipped(sync_db, fleet, mediator, log_events):
    fleet.add_meter("TP-1", three_phase=True, events=[SimEvent(10, 1)])
    server, client = sync_db()
    assert ejs.EventJournalSyncer(client, "2", "TP-1", mediator).fetch_metrics() == NOTHING
    assert fleet.calls == []
    assert requests_to(server, "meter_event_log") == []
    assert of_module(log_events, MODULE) == []


# Paging, with pages the fleet cannot give


def page(*events):
    return [rec(ts, event_id) for ts, event_id in events]


def run(client, pages, meter_id="1"):
    meter = FakeMeterClient(pages)
    result = ejs.EventJournalSyncer(client, meter_id, "SP-1", meter).fetch_metrics()
    return result, [call[2] for call in meter.calls]


STORED_500 = [row(500, 1)]
HUNDRED_TWENTY = [page(*((2000 - 10 * p - i, 1) for i in range(10))) for p in range(12)]


@pytest.mark.parametrize(
    "stored_rows, pages, pages_read, expected",
    [
        (
            STORED_500,
            [
                page(*((520 - i, 2) for i in range(10))),
                page((510, 2), (509, 2), (508, 2), (500, 1), *((499 - i, 3) for i in range(6))),
            ],
            [0, 1],
            [(520 - i, 2) for i in range(13)],
        ),
        ([], HUNDRED_TWENTY, list(range(10)), [(2000 - i, 1) for i in range(100)]),
        ([], [page(*((300 - i, 4) for i in range(11))), page((100, 4))], [0], [(300 - i, 4) for i in range(11)]),
        ([], [page((300, 4), (299, 4))], [0], [(300, 4), (299, 4)]),
        ([], [page(*((300 - i, 4) for i in range(10)))], [0, 1], [(300 - i, 4) for i in range(10)]),
    ],
    ids=[
        "13-rows-from-two-pages",
        "stops-after-page-9",
        "page-of-11-ends-paging",
        "short-page",
        "full-page-then-empty",
    ],
)
def test_paging(sync_db, stored_rows, pages, pages_read, expected):
    server, client = sync_db(stored_rows)
    result, read = run(client, pages)
    assert result == NOTHING
    assert read == pages_read
    (post,) = requests_to(server, "meter_event_log", "POST")
    assert post.body == [row(ts, event_id) for ts, event_id in expected]


def test_nothing_unseen_writes_nothing(sync_db, log_events):
    server, client = sync_db([row(500, 1), row(400, 2)])
    result, read = run(client, [page((500, 1), (499, 2), (400, 2))])
    assert (result, read) == (NOTHING, [0])
    assert requests_to(server, "meter_event_log", "POST") == []
    assert messages(log_events) == ["last seen event row", "unseen in current fetched logs", "unseen events count"]


def test_id_0_events_are_dropped_with_one_warning(sync_db, log_events):
    server, client = sync_db()
    run(client, [page((30, 0), (29, Kind.POWER_FAIL), (28, Kind.NONE), (27, 6), (26, Named.ZERO))])
    assert requests_to(server, "meter_event_log", "POST")[0].body == [row(29, 5), row(27, 6)]
    events = of_module(log_events, MODULE)
    (warning,) = [e for e in events if e["level"] == "warning"]
    assert set(warning) == {"event", "level", "timestamp", "module"}
    assert warning["event"] == "ignoring events with event_id 0"
    count = next(e for e in events if e["event"] == "2 records to insert")
    assert count["insert_recs"] == [row(29, 5), row(27, 6)]


def test_all_id_0_events_still_make_an_empty_upsert(sync_db, log_events):
    server, client = sync_db()
    run(client, [page((30, 0), (29, 0))])
    assert requests_to(server, "meter_event_log", "POST")[0].body == []
    assert messages(log_events)[-4:] == [
        "unseen events count",
        "ignoring events with event_id 0",
        "0 records to insert",
        "supabase insert response",
    ]
    assert of_module(log_events, MODULE)[-2]["insert_recs"] == []
    assert stored(server) == []


# The module functions


@pytest.mark.parametrize(
    "events, latest, expected",
    [
        ([(9, 1), (10, 1), (11, 1)], (10, 1), [(11, 1)]),
        ([(10, 7), (10, 5), (9, 7)], (10, 5), [(10, 7)]),
        ([(10, Kind.POWER_FAIL), (10, Kind.COVER_OPEN)], (10, 5), [(10, Kind.COVER_OPEN)]),
        ([(10, 5), (10, 7)], (10, Kind.POWER_FAIL), [(10, 7)]),
        ([(10, Named.TAMPER), (10, 3)], (10, Named.TAMPER), [(10, 3)]),
        ([(12, "not an id")], (10, 5), [(12, "not an id")]),
    ],
    ids=[
        "strictly-newer",
        "same-second-other-type",
        "enum-events-vs-stored-int",
        "stored-enum",
        "plain-enum-value",
        "newer-never-compares-types",
    ],
)
def test_unseen_filter(events, latest, expected):
    records = [rec(*e) for e in events]
    unseen = ejs.filter_event_log_for_unseen_events(records, rec(*latest))
    assert [(r.timestamp, r.event_id) for r in unseen] == expected
    assert all(any(r is s for s in records) for r in unseen)


def test_unseen_filter_without_stored_event_returns_the_list_itself():
    records = [rec(1, 1)]
    assert ejs.filter_event_log_for_unseen_events(latest_event_in_db=None, events=records) is records


@pytest.mark.parametrize("events", [None, (rec(1, 1),), iter([])], ids=["none", "tuple", "iterator"])
def test_unseen_filter_takes_a_list_only(events):
    with pytest.raises(TypeError, match=r"Argument 'events' has incorrect type \(expected list, got "):
        ejs.filter_event_log_for_unseen_events(events, None)


@pytest.mark.parametrize(
    "moment, text",
    [
        (datetime(2024, 3, 1, 0, 30, tzinfo=timezone.utc), "2024-03-01T00:30:00+00:00"),
        (datetime(2024, 3, 1, 0, 30, 0, 500, tzinfo=timezone.utc), "2024-03-01T00:30:00.000500+00:00"),
        (datetime(2024, 3, 1, 6, 0, tzinfo=timezone(timedelta(hours=5, minutes=30))), "2024-03-01T06:00:00+05:30"),
        (datetime(2024, 3, 1, 0, 30), "2024-03-01T00:30:00"),
    ],
    ids=["utc", "microseconds", "offset", "naive"],
)
def test_row_time_stamp_text(monkeypatch, moment, text):
    monkeypatch.setattr(ejs, "dmp_epoch_seconds_to_datetime", lambda seconds: moment)
    assert ejs.event_rec_to_table_row("1", rec(123, 4, 2))["timestamp"] == text


@pytest.mark.parametrize(
    "event_id, event_type",
    [(4, 4), (Kind.COVER_OPEN, 7), (True, 1), (Named.TAMPER, 9)],
    ids=["int", "int-enum", "bool", "plain-enum"],
)
def test_row_format(event_id, event_type):
    event_set = object()
    result = ejs.event_rec_to_table_row(event=rec(86400, event_id, event_set), meter_id="42")
    assert list(result.items()) == [
        ("meter_id", "42"),
        ("timestamp", "2000-01-02T00:00:00+00:00"),
        ("event_type", event_type),
        ("event_set", event_set),
    ]
    assert type(result["event_type"]) is int


@pytest.mark.parametrize("meter_id", [1, None, b"1"], ids=["int", "none", "bytes"])
def test_row_meter_id_must_be_text(meter_id):
    with pytest.raises(TypeError, match="Argument 'meter_id' has incorrect type"):
        ejs.event_rec_to_table_row(meter_id, rec(1, 1))


@pytest.mark.parametrize(
    "text, seconds",
    [
        ("2000-01-01T00:01:40+00:00", 100),
        ("2000-01-01T05:31:40+05:30", 100),
        ("2000-01-01T00:01:40.900000+00:00", 100),
        ("2000-01-01T00:01:40Z", 100),
    ],
    ids=["utc", "offset", "fraction", "zulu"],
)
def test_row_back_to_record(text, seconds):
    record = ejs.event_table_row_to_rec({"timestamp": text, "event_type": 5, "event_set": 2})
    assert (record.timestamp, record.event_id, record.event_set) == (seconds, 5, 2)


@pytest.mark.parametrize("missing", ["timestamp", "event_type", "event_set"])
def test_row_back_to_record_needs_its_keys(missing):
    stored_row = {"timestamp": "2000-01-01T00:00:00+00:00", "event_type": 5, "event_set": 2}
    del stored_row[missing]
    with pytest.raises(KeyError, match=missing):
        ejs.event_table_row_to_rec(stored_row)


# Errors reach the caller; nothing is written before the last step


def test_meter_id_not_text_fails_before_writing(sync_db):
    server, client = sync_db()
    with pytest.raises(TypeError, match=r"expected str, got int"):
        run(client, [page((30, 1))], meter_id=1)
    assert requests_to(server, "meter_event_log", "POST") == []


def test_page_events_not_a_list(sync_db):
    server, client = sync_db()
    with pytest.raises(TypeError, match="Argument 'events'"):
        run(client, [tuple(page((30, 1)))])
    assert requests_to(server, "meter_event_log", "POST") == []


def test_mediator_and_database_failures_escape(sync_db, fleet, mediator):
    fleet.add_meter("SP-1", events=[SimEvent(10, 1)])
    server, client = sync_db()
    syncer = ejs.EventJournalSyncer(client, "1", "SP-1", mediator)
    fleet.fail("SP-1", "UNAVAILABLE", method="EventLog")
    with pytest.raises(MediatorClientException) as error:
        syncer.fetch_metrics()
    assert error.value.code_str == "UNAVAILABLE"
    fleet.fail("SP-1", None)
    server.database.refuse("meter_event_log", 500, "event log offline")
    with pytest.raises(postgrest.APIError, match="event log offline"):
        syncer.fetch_metrics()
    assert stored(server) == []


# The module's shape


def test_module_and_class_interface():
    cls = ejs.EventJournalSyncer
    assert cls.__bases__ == (SyncerBase,) and cls.__module__ == MODULE
    assert {"fetch_metrics", "_fetch_unseen"} <= set(vars(cls)) and "__init__" not in vars(cls)
    assert cls.fetch_metrics.__override__ is True
    assert str(inspect.signature(cls._fetch_unseen)) == "(self, last_seen_event)"


@pytest.mark.parametrize(
    "function, signature",
    [
        ("filter_event_log_for_unseen_events", "(events, latest_event_in_db)"),
        ("event_rec_to_table_row", "(meter_id, event)"),
        ("event_table_row_to_rec", "(row)"),
    ],
)
def test_module_function_signatures(function, signature):
    assert str(inspect.signature(getattr(ejs, function))) == signature
