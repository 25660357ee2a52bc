"""The simulated database answers the real client as PostgREST would."""

from __future__ import annotations

import httpx
import postgrest
import pytest

from norvox.util.supabase import supa_client
from sim.db import closed_port_url, like_regex

TESSEL = {
    "escos": [{"id": 1, "code": "north"}, {"id": 2, "code": "NORTH_2"}, {"id": 3, "code": "n%rth"}],
    "meter_registry": [
        {"id": 10, "serial": "A", "mode": "active", "esco": 1, "prepay_enabled": True, "hardware": "P2"},
        {"id": 11, "serial": "B", "mode": "inactive", "esco": 1, "prepay_enabled": True, "hardware": None},
        {"id": 12, "serial": "C", "mode": "active", "esco": 2, "prepay_enabled": None, "hardware": "P1.ax"},
        {"id": 13, "serial": "D", "mode": "active", "esco": None, "prepay_enabled": False, "hardware": "P1.cx"},
    ],
    "meter_shadows": [
        {"id": 10, "meter": 10, "clock_time_diff_seconds": 50},
        {"id": 11, "meter": 11, "clock_time_diff_seconds": 90},
        {"id": 12, "meter": 12, "clock_time_diff_seconds": 20},
        {"id": 13, "meter": 13, "clock_time_diff_seconds": None},
    ],
}


@pytest.fixture
def tessel(database):
    server = database({"tessel": TESSEL}, functions={"echo": lambda params: [params]})
    return server, supa_client(server.url, "anon", "role")


def ids(response):
    return [row["id"] for row in response.data]


def test_inner_embedding_with_nested_filters(tessel):
    _, client = tessel
    query = (
        client.table("meter_shadows")
        .select("clock_time_diff_seconds, id, meter_registry!inner(serial, mode, escos!inner(code))")
        .gt("clock_time_diff_seconds", 20)
        .eq("meter_registry.mode", "active")
    )
    assert query.execute().data == [
        {
            "clock_time_diff_seconds": 50,
            "id": 10,
            "meter_registry": {"serial": "A", "mode": "active", "escos": {"code": "north"}},
        },
    ]
    assert ids(query.eq("meter_registry.escos.code", "NORTH").execute()) == []


def test_embedding_without_inner_keeps_the_row_with_null(tessel):
    _, client = tessel
    rows = client.table("meter_registry").select("id, escos(code)").execute().data
    assert rows[3] == {"id": 13, "escos": None}


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda q: q.eq("prepay_enabled", True), [10, 11]),
        (lambda q: q.neq("prepay_enabled", True), [13]),  # null passes neither test
        (lambda q: q.not_.eq("prepay_enabled", True), [13]),  # nor its negation
        (lambda q: q.neq("hardware", "P1.ax").neq("hardware", "P1.cx"), [10]),
        (lambda q: q.eq("esco", 1).eq("mode", "active"), [10]),
        (lambda q: q.gt("id", "11"), [12, 13]),
    ],
)
def test_filters_follow_sql_null_semantics(tessel, build, expected):
    _, client = tessel
    assert ids(build(client.table("meter_registry").select("*")).execute()) == expected


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("NORTH", [1]),
        ("north%", [1, 2]),
        ("n_rth", [1, 3]),
        ("n\\%rth", [3]),
        ("NORTH\\_2", [2]),
        ("n*", [1, 2, 3]),
        ("nort", []),
    ],
)
def test_ilike(tessel, pattern, expected):
    _, client = tessel
    assert ids(client.table("escos").select("id").ilike("code", pattern).execute()) == expected


def test_like_regex_escapes_and_wildcards():
    assert like_regex("a\\%b_").fullmatch("A%BX")
    assert not like_regex("a\\%b").fullmatch("axb")


def test_update_rpc_and_records(tessel):
    server, client = tessel
    client.table("meter_shadows").update({"clock_time_diff_seconds": 0}).eq("id", 11).execute()
    assert server.database.table("meter_shadows")[1]["clock_time_diff_seconds"] == 0
    assert client.rpc("echo", {"esco_code_in": "north"}).execute().data == [{"esco_code_in": "north"}]
    patch, call = server.database.requests
    assert (patch.method, patch.query, patch.body) == ("PATCH", [("id", "eq.11")], {"clock_time_diff_seconds": 0})
    assert (call.path, call.body) == ("/rest/v1/rpc/echo", {"esco_code_in": "north"})
    assert call.headers["content-profile"] == "tessel"


def test_refused_requests_and_unreachable_service(tessel):
    server, client = tessel
    server.database.refuse("escos", 500, "escos unavailable")
    with pytest.raises(postgrest.APIError, match="escos unavailable"):
        client.table("escos").select("*").execute()
    offline = supa_client(closed_port_url(), "anon", "role")
    with pytest.raises(httpx.ConnectError):
        offline.table("escos").select("*").execute()


def test_refusal_of_chosen_requests_only(tessel):
    server, client = tessel
    server.database.refuse("meter_registry", 500, "registry down", when=lambda r: r.param("serial") == "eq.B")
    assert ids(client.table("meter_registry").select("id").eq("serial", "A").execute()) == [10]
    with pytest.raises(postgrest.APIError, match="registry down"):
        client.table("meter_registry").select("id").eq("serial", "B").execute()


def test_procedure_results_and_unknown_procedure(database):
    server = database({"ambrel": {}}, functions={"rows": [{"meter_id": 1}], "nothing": None})
    client = supa_client(server.url, "anon", "role", schema="ambrel")
    assert client.rpc("rows", {}).execute().data == [{"meter_id": 1}]
    assert client.rpc("nothing", {}).execute().data is None
    with pytest.raises(postgrest.APIError, match="ambrel.missing"):
        client.rpc("missing", {}).execute()


# Ordering, limits and writes of meter_event_log: unique key (meter_id, timestamp, event_type),
# timestamp a timestamptz column.

EVENT_KEY = "meter_id,timestamp,event_type"


def event(ts, event_type=1, event_set=0, meter_id="7"):
    return {"meter_id": meter_id, "timestamp": ts, "event_type": event_type, "event_set": event_set}


@pytest.fixture
def event_log(database):
    rows = [
        event("2024-01-01T02:00:00+03:00", 1),  # 2023-12-31T23:00Z
        event("2024-01-01T00:30:00.250000Z", 2),
        event("2023-12-31T23:30:00", 3),  # no offset: read as UTC
        event("2024-01-01T00:30:00+00:00", 4, meter_id="8"),
    ]
    server = database({"tessel": {"meter_event_log": rows}})
    return server, supa_client(server.url, "anon", "role")


def test_timestamps_stored_as_utc_and_ordered_as_instants(event_log):
    server, client = event_log
    assert [r["timestamp"] for r in server.database.table("meter_event_log")] == [
        "2023-12-31T23:00:00+00:00",
        "2024-01-01T00:30:00.25+00:00",
        "2023-12-31T23:30:00+00:00",
        "2024-01-01T00:30:00+00:00",
    ]
    newest = (
        client.table("meter_event_log")
        .select("timestamp,event_type")
        .eq("meter_id", "7")
        .order("timestamp", desc=True)
        .limit(1)
        .execute()
    )
    assert newest.data == [{"timestamp": "2024-01-01T00:30:00.25+00:00", "event_type": 2}]
    later = client.table("meter_event_log").select("event_type").gt("timestamp", "2024-01-01T00:15:00+00:15")
    assert [r["event_type"] for r in later.execute().data] == [2, 4]
    paged = client.table("meter_event_log").select("event_type").order("timestamp").limit(2).offset(1)
    assert [r["event_type"] for r in paged.execute().data] == [3, 4]


@pytest.mark.parametrize(
    "order, expected",
    [
        (lambda q: q.order("hardware"), [12, 13, 10, 11]),
        (lambda q: q.order("hardware", desc=True), [11, 10, 13, 12]),
        (lambda q: q.order("prepay_enabled", desc=True).order("id", desc=True), [12, 11, 10, 13]),
        (lambda q: q.order("hardware", nullsfirst=True), [11, 12, 13, 10]),
    ],
    ids=["asc-nulls-last", "desc-nulls-first", "two-terms", "nulls-first"],
)
def test_order_follows_postgresql_null_placement(tessel, order, expected):
    _, client = tessel
    assert ids(order(client.table("meter_registry").select("id")).execute()) == expected


def test_upsert_ignoring_duplicates_keeps_stored_rows(event_log):
    server, client = event_log
    response = (
        client.table("meter_event_log")
        .upsert(
            [
                event("2024-01-01T00:30:00.25+00:00", 2, event_set=9),  # stored already: left as it is
                event("2024-01-01T00:30:00.25+00:00", 5, event_set=9),  # another type in that second
                event("2023-12-31T23:00:00Z", 1, meter_id="8"),
            ],
            on_conflict=EVENT_KEY,
            ignore_duplicates=True,
        )
        .execute()
    )
    assert response.data == [
        event("2024-01-01T00:30:00.25+00:00", 5, event_set=9),
        event("2023-12-31T23:00:00+00:00", 1, meter_id="8"),
    ]
    rows = server.database.table("meter_event_log")
    assert len(rows) == 6 and rows[1] == event("2024-01-01T00:30:00.25+00:00", 2, event_set=0)
    post = server.database.requests[-1]
    assert post.method == "POST" and post.param("on_conflict") == EVENT_KEY
    assert "resolution=ignore-duplicates" in post.headers["prefer"]


def test_upsert_merging_duplicates_updates_stored_rows(event_log):
    server, client = event_log
    live = server.database.schemas["tessel"]["meter_event_log"][0]
    response = (
        client.table("meter_event_log")
        .upsert(event("2023-12-31T23:00:00Z", 1, event_set=4), on_conflict=EVENT_KEY)
        .execute()
    )
    assert response.data == [event("2023-12-31T23:00:00+00:00", 1, event_set=4)]
    assert server.database.table("meter_event_log")[0]["event_set"] == 4
    assert live["event_set"] == 4  # the row itself changed, as a test holding it sees


def test_empty_upsert_and_minimal_return(event_log):
    server, client = event_log
    table = client.table("meter_event_log")
    assert table.upsert([], on_conflict=EVENT_KEY, ignore_duplicates=True).execute().data == []
    assert table.insert(event("2025-01-01T00:00:00Z"), returning="minimal").execute().data == []
    assert len(server.database.table("meter_event_log")) == 5


def test_null_never_conflicts(event_log):
    server, client = event_log
    rows = [event("2024-06-01T00:00:00Z", None), event("2024-06-01T00:00:00Z", None)]
    client.table("meter_event_log").insert(rows).execute()
    assert len(server.database.table("meter_event_log")) == 6


@pytest.mark.parametrize(
    "write, code",
    [
        (lambda t: t.insert([event("2025-01-01T00:00:00Z"), event("2023-12-31T23:00:00Z", 1)]), "23505"),
        (lambda t: t.upsert(event("2025-01-01T00:00:00Z"), on_conflict="meter_id,timestamp"), "42P10"),
        (
            lambda t: t.upsert(
                [event("2025-01-01T00:00:00Z"), event("2025-01-01T00:00:00+00:00")], on_conflict=EVENT_KEY
            ),
            "21000",
        ),
        (lambda t: t.insert(event("yesterday")), "22007"),
        (lambda t: t.update({"timestamp": "2023-12-31T23:00:00Z", "event_type": 1}).eq("event_type", 3), "23505"),
    ],
    ids=["duplicate-insert", "no-such-unique-key", "merge-twice", "bad-timestamp", "update-into-duplicate"],
)
def test_failed_writes_change_nothing(event_log, write, code):
    server, client = event_log
    before = server.database.table("meter_event_log")
    with pytest.raises(postgrest.APIError) as error:
        write(client.table("meter_event_log")).execute()
    assert error.value.code == code
    assert server.database.table("meter_event_log") == before
