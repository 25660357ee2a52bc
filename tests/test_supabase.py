"""Database client factory and row helpers, against the simulated database over HTTP."""

from __future__ import annotations

import inspect
from types import SimpleNamespace

import pytest
import supabase as supabase_lib

from norvox.util import supabase as db

URL = "http://127.0.0.1:9"  # nothing connects while a client is made


def test_constants():
    assert db.SCHEMA_NAME == "tessel"
    assert db.Client is supabase_lib.Client


@pytest.mark.parametrize("schema, expected", [(None, "tessel"), ("ambrel", "ambrel"), ("", "")])
def test_schema(schema, expected):
    client = db.supa_client(URL, "anon", "role", schema)
    assert client.options.schema == expected
    assert client.options.auto_refresh_token is False


@pytest.fixture
def passed_options(monkeypatch):
    """The options object handed to create_client, before the library touches it."""
    seen = []
    real = supabase_lib.create_client

    def spy(url, key, options):
        seen.append((url, key, dict(options.headers), options.schema))
        return real(url, key, options)

    monkeypatch.setattr(supabase_lib, "create_client", spy)
    return seen


@pytest.mark.parametrize("role_key", ["secret-role", ""])
def test_role_key_is_the_bearer_token(passed_options, role_key):
    client = db.supa_client(URL, "anon", role_key)
    [(url, key, headers, schema)] = passed_options
    assert (url, key, schema) == (URL, "anon", "tessel")
    assert headers == {"Authorization": f"Bearer {role_key}"}  # replaces the defaults
    assert client.postgrest.session.headers["authorization"] == f"Bearer {role_key}"


def test_without_role_key_headers_are_the_librarys(passed_options):
    client = db.supa_client(URL, "anon")
    [(_, _, headers, _)] = passed_options
    assert "Authorization" not in headers and "X-Client-Info" in headers
    assert client.postgrest.session.headers["authorization"] == "Bearer anon"


@pytest.mark.parametrize(
    "function, signature",
    [
        ("supa_client", "(supabase_url, supabase_key, role_key=None, schema=None)"),
        ("as_list", "(result)"),
        ("as_first_item", "(result)"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(getattr(db, function))) == signature


def test_arguments_by_name(passed_options):
    client = db.supa_client(schema="ambrel", role_key="role", supabase_key="anon", supabase_url=URL)
    assert passed_options == [(URL, "anon", {"Authorization": "Bearer role"}, "ambrel")]
    response = SimpleNamespace(data=[{"id": 1}])
    assert db.as_list(result=response) is response.data
    assert db.as_first_item(result=response) is response.data[0]
    assert client.options.schema == "ambrel"


def test_each_call_makes_a_new_client():
    assert db.supa_client(URL, "k", "r") is not db.supa_client(URL, "k", "r")


@pytest.mark.parametrize(
    "args, argument",
    [
        ((None, "k"), "supabase_url"),
        ((URL, 5), "supabase_key"),
        ((URL, "k", 1), "role_key"),
        ((URL, "k", None, b"ambrel"), "schema"),
    ],
)
def test_typed_parameters(args, argument):
    with pytest.raises(TypeError, match=rf"^Argument '{argument}' has incorrect type"):
        db.supa_client(*args)


def test_query_carries_schema_profile_and_role_key(database):
    server = database({"ambrel": {"meters": [{"id": 1, "serial": "S1"}]}}, keys={"backend-role"})
    client = db.supa_client(server.url, "anon", "backend-role", schema="ambrel")
    response = client.table("meters").select("id, serial").eq("serial", "S1").execute()
    assert db.as_list(response) == [{"id": 1, "serial": "S1"}]
    [request] = server.database.requests
    assert request.method == "GET" and request.path == "/rest/v1/meters"
    assert request.headers["accept-profile"] == "ambrel"
    assert request.headers["authorization"] == "Bearer backend-role"
    assert request.headers["apikey"] == "anon"
    assert request.query == [("select", "id,serial"), ("serial", "eq.S1")]


def test_wrong_role_key_is_refused_by_the_service(database):
    server = database({"tessel": {"escos": []}}, keys={"right"})
    client = db.supa_client(server.url, "anon", "wrong")
    with pytest.raises(Exception, match="Invalid API key"):
        client.table("escos").select("*").execute()


def response(data):
    return SimpleNamespace(data=data)


def test_as_list_returns_the_responses_own_list():
    rows = [{"id": 1}]
    assert db.as_list(response(rows)) is rows
    empty = []
    assert db.as_list(response(empty)) is empty
    assert db.as_list(response(None)) is None


def test_as_first_item_returns_the_first_row_itself():
    row = {"id": 1}
    assert db.as_first_item(response([row, {"id": 2}])) is row
    assert db.as_first_item(response([None])) is None


@pytest.mark.parametrize(
    "helper, data, error, message",
    [
        (db.as_list, {"id": 1}, TypeError, "Expected list, got dict"),
        (db.as_list, (1,), TypeError, "Expected list, got tuple"),
        (db.as_first_item, [], IndexError, "list index out of range"),
        (db.as_first_item, None, TypeError, "not subscriptable"),
        (db.as_first_item, [[1]], TypeError, "Expected dict, got list"),
        (db.as_first_item, ["id"], TypeError, "Expected dict, got str"),
    ],
)
def test_row_helper_errors(helper, data, error, message):
    with pytest.raises(error, match=message):
        helper(response(data))


def test_as_list_message_cuts_long_type_names():
    cls = type("T" * 300, (), {})
    with pytest.raises(TypeError) as info:
        db.as_list(response(cls()))
    assert str(info.value) == "Expected list, got " + "T" * 200


SECRET = "k3y-7Qx"


ENDS = "it has white space at either end"
CONTROL = "it holds a control character"


@pytest.mark.parametrize(
    "key, fault",
    [
        (SECRET + "\n", ENDS),
        (SECRET + "\r\n", ENDS),
        (" " + SECRET, ENDS),
        (SECRET + "\t", ENDS),
        (SECRET + "\u2003", ENDS),
        (SECRET[:3] + "\r\n" + SECRET[3:], CONTROL),
        (SECRET + "\x00x", CONTROL),
        (SECRET[:3] + "\x7f" + SECRET[3:], CONTROL),
        (SECRET + "\x85x", CONTROL),
        (SECRET + "\u00e9", "it holds a character outside ASCII"),
    ],
    ids=["lf", "crlf", "leading-space", "tab", "em-space", "inner-crlf", "nul", "del", "c1", "accent"],
)
@pytest.mark.parametrize("which", ["anonymous key", "role key"])
def test_key_an_http_header_cannot_carry_is_refused_without_its_text(passed_options, key, fault, which):
    args = (URL, key, "role") if which == "anonymous key" else (URL, "anon", key)
    with pytest.raises(ValueError) as info:
        db.supa_client(*args)
    assert str(info.value) == f"The {which} cannot be sent in an HTTP header: {fault}"
    assert SECRET[:3] not in repr(info.value)
    assert passed_options == []  # refused before any client is made


@pytest.mark.parametrize("key", ["a b", "eyJhbGciOi.J9-_~+/="], ids=["inner-space", "jwt-characters"])
def test_keys_an_http_header_carries_are_sent(database, key):
    server = database({"tessel": {"escos": []}}, keys={key})
    client = db.supa_client(server.url, key, key)
    assert db.as_list(client.table("escos").select("*").execute()) == []
    [request] = server.database.requests
    assert (request.headers["apikey"], request.headers["authorization"]) == (key, f"Bearer {key}")
