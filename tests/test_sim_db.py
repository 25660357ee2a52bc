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
    query = (client.table("meter_shadows")
             .select("clock_time_diff_seconds, id, meter_registry!inner(serial, mode, escos!inner(code))")
             .gt("clock_time_diff_seconds", 20).eq("meter_registry.mode", "active"))
    assert query.execute().data == [
        {"clock_time_diff_seconds": 50, "id": 10,
         "meter_registry": {"serial": "A", "mode": "active", "escos": {"code": "north"}}},
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
    [("NORTH", [1]), ("north%", [1, 2]), ("n_rth", [1, 3]), ("n\\%rth", [3]), ("NORTH\\_2", [2]),
     ("n*", [1, 2, 3]), ("nort", [])],
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
    assert (patch.method, patch.query, patch.body) == ("PATCH", [("id", "eq.11")],
                                                       {"clock_time_diff_seconds": 0})
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
