"""The platform client stand-in (velk_fly_machines.api) against the simulated platform: what goes
on the wire, error answers, and the token kept out of every text."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import httpx
import pytest

from sim.platform import Platform, PlatformServer
from velk_fly_machines.api import API, FLY_REGION_DEFAULT, PUBLIC_API_HOSTNAME

TOKEN = "fm2_secret-token"
APP = "meters"


@pytest.fixture
def platform(monkeypatch):
    platform = Platform(token=TOKEN)
    platform.add_app(APP)
    with PlatformServer(platform) as server:
        monkeypatch.setenv("FLY_API_HOSTNAME", server.url + "/")
        yield platform


@pytest.fixture
def api(platform):
    with API(TOKEN) as client:
        yield client


def machine_of(platform, state="started", region="lhr"):
    return platform.add_mediator(APP, serial="DD-1", meter_id="17", ip_address="10.0.0.17", state=state, region=region)


def test_public_address_when_unset(monkeypatch):
    monkeypatch.delenv("FLY_API_HOSTNAME", raising=False)
    with API(TOKEN) as client:
        assert repr(client) == f"<API {PUBLIC_API_HOSTNAME}/v1/>"
    assert isinstance(FLY_REGION_DEFAULT, str) and FLY_REGION_DEFAULT


def test_operations_on_the_wire(platform, api):
    machine = api.create(
        APP,
        "img:1",
        ["serve"],
        port=50051,
        name="mediator-DD-2",
        env_vars={"A": "1"},
        metadata={"meter_id": "18"},
        extra_config={"region": "ams"},
    )
    mid = machine["id"]
    assert machine["name"] == "mediator-DD-2" and machine["region"] == "ams" and machine["state"] == "started"
    assert api.list(APP, region="ams") == [machine] and api.list(APP, region="lhr") == []
    assert api.stop(APP, mid) == {"ok": True}
    assert api.get(APP, mid)["state"] == "stopped"
    assert api.wait(APP, mid, machine["instance_id"], "stopped") == {"ok": True}
    assert api.start(APP, mid)["previous_state"] == "stopped"
    assert api.destroy(APP, mid, force=True, region="ams") == {"ok": True}
    assert [(r.method, r.path, r.operation) for r in platform.requests] == [
        ("POST", "/v1/apps/meters/machines", "create"),
        ("GET", "/v1/apps/meters/machines", "list"),
        ("GET", "/v1/apps/meters/machines", "list"),
        ("POST", f"/v1/apps/meters/machines/{mid}/stop", "stop"),
        ("GET", f"/v1/apps/meters/machines/{mid}", "get"),
        ("GET", f"/v1/apps/meters/machines/{mid}/wait", "wait"),
        ("POST", f"/v1/apps/meters/machines/{mid}/start", "start"),
        ("DELETE", f"/v1/apps/meters/machines/{mid}", "destroy"),
    ]
    assert all(r.headers["authorization"] == f"Bearer {TOKEN}" for r in platform.requests)
    assert platform.requests[-1].query == {"force": "true"}
    assert platform.requests[0].body["config"]["services"] == [
        {"protocol": "tcp", "internal_port": 50051, "ports": [{"port": 50051}]}
    ]


def test_wait_returns_once_the_state_is_reached(platform, api):
    platform.transition_seconds = 0.2
    machine = machine_of(platform)
    api.stop(APP, machine["id"])
    assert platform.machine(APP, machine["id"])["state"] == "stopping"
    assert api.wait(APP, machine["id"], machine["instance_id"], "stopped") == {"ok": True}
    assert platform.machine(APP, machine["id"])["state"] == "stopped"


def test_wait_time_limit(platform, api):
    machine = machine_of(platform)
    answer = api.wait(APP, machine["id"], machine["instance_id"], "stopped", timeout=0.1)
    assert answer["error"].startswith("deadline_exceeded")


@pytest.mark.parametrize(
    "call, error",
    [
        (
            lambda api, m: api.destroy(APP, m["id"]),
            "failed_precondition: unable to destroy machine, not currently stopped",
        ),
        (lambda api, m: api.get(APP, "nope"), "not_found: machine nope not found"),
        (lambda api, m: api.list("other/app"), "not_found: app other/app not found"),
        (
            lambda api, m: api.wait(APP, m["id"], "stale", "stopped"),
            "invalid_argument: instance_id does not match the machine's",
        ),
    ],
    ids=["destroy-running", "unknown-machine", "unknown-app", "stale-instance"],
)
def test_platform_errors_are_error_answers(platform, api, call, error):
    assert call(api, machine_of(platform)) == {"error": error}


def test_injected_errors_per_operation_and_count(platform, api):
    platform.fail("list", times=2, error="unavailable", status=503)
    assert [api.list(APP) for _ in range(3)] == [{"error": "unavailable"}] * 2 + [[]]
    assert api.create(APP, "img", ["x"], name="m")["name"] == "m"


def test_token_never_in_texts(platform, api):
    platform.fail("start", error=f"bad credentials {TOKEN}", status=401)
    assert api.start(APP, "m1") == {"error": "bad credentials ***"}
    assert TOKEN not in repr(api)
    with pytest.raises(ValueError) as info:
        API(TOKEN + "\r\nX-Injected: 1")
    assert TOKEN not in str(info.value)
    with pytest.raises(TypeError):
        API(None)


def test_wrong_or_missing_token(platform):
    for token in ("other-token", ""):
        with API(token) as client:
            assert client.list(APP) == {"error": "unauthorized"}
    assert "authorization" not in platform.requests[-1].headers


@pytest.fixture
def plain_server(monkeypatch):
    """A server that answers every request with the status and text body given to it; a body
    given as a function is made of the request's authorization header, as a server that echoes
    what it was sent."""
    answer = {}

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            body = answer["body"]
            if callable(body):
                body = body(self.headers.get("Authorization", ""))
            body = body.encode()
            self.send_response(answer["status"])
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    monkeypatch.setenv("FLY_API_HOSTNAME", f"http://127.0.0.1:{server.server_address[1]}")
    yield lambda status, body: answer.update(status=status, body=body)
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize(
    "status, body, expected",
    [
        (502, "<html>upstream down</html>", "502 Bad Gateway: <html>upstream down</html>"),
        (503, "", "503 Service Unavailable"),
        (200, "<html>ok</html>", "the platform's answer to GET /apps/meters/machines is not JSON"),
    ],
    ids=["error-page", "empty-error", "success-not-json"],
)
def test_answers_that_are_not_json(plain_server, status, body, expected):
    plain_server(status, body)
    with API(TOKEN) as client:
        assert client.list(APP) == {"error": expected}


def token_parts(answer) -> list[str]:
    """The beginnings of the token, of four characters or more, that stand in the answer."""
    text = repr(answer)
    return [TOKEN[:n] for n in range(4, len(TOKEN) + 1) if TOKEN[:n] in text]


# Bodies made of the authorization header "Bearer <token>" that the server is sent, with what the
# client gives for each. Of an error page the client keeps 200 characters; "Bearer " is 7, so
# the token stands wholly past the cut (at 257), across it (at 192, its first 8 characters before
# it), or early and again across it (at 27 and 195).
ECHOES = [
    pytest.param(403, lambda auth: json.dumps({"error": [auth]}), {"error": ["Bearer ***"]}, id="list"),
    pytest.param(
        403,
        lambda auth: json.dumps({"error": {"message": f"denied for {auth}"}}),
        {"error": {"message": "denied for Bearer ***"}},
        id="map",
    ),
    pytest.param(
        403,
        lambda auth: json.dumps({"error": {auth: [{"seen": [auth, 1]}]}}),
        {"error": {"Bearer ***": [{"seen": ["Bearer ***", 1]}]}},
        id="nested-and-key",
    ),
    pytest.param(
        401,
        lambda auth: json.dumps({"detail": auth}),
        {"error": '401 Unauthorized: {"detail": "Bearer ***"}'},
        id="error-without-message",
    ),
    pytest.param(
        502, lambda auth: "x" * 250 + auth, {"error": "502 Bad Gateway: " + "x" * 200}, id="page-token-past-cut"
    ),
    pytest.param(
        502,
        lambda auth: "x" * 185 + auth + "</html>",
        {"error": "502 Bad Gateway: " + "x" * 185 + "Bearer ***</htm"},
        id="page-token-across-cut",
    ),
    pytest.param(
        502,
        lambda auth: "x" * 20 + auth + "x" * 145 + auth + "</html>",
        {"error": "502 Bad Gateway: " + "x" * 20 + "Bearer ***" + "x" * 145 + "Bearer ***</html>"},
        id="page-token-early-and-across-cut",
    ),
    pytest.param(
        200,
        lambda auth: json.dumps([{"id": "m1", "echo": auth}]),
        [{"id": "m1", "echo": "Bearer ***"}],
        id="success",
    ),
]


@pytest.mark.parametrize("status, body, expected", ECHOES)
def test_echoed_token_scrubbed_from_every_answer(plain_server, status, body, expected):
    plain_server(status, body)
    with API(TOKEN) as client:
        answer = client.list(APP)
    assert token_parts(answer) == []
    assert answer == expected


def test_unreachable_platform_raises(monkeypatch):
    monkeypatch.setenv("FLY_API_HOSTNAME", "http://127.0.0.1:9")
    with API(TOKEN) as client, pytest.raises(httpx.TransportError) as info:
        client.list(APP)
    assert TOKEN not in str(info.value)


def test_concurrent_calls(platform, api):
    machine_of(platform)
    results = []
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        results.append(len(api.list(APP)))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [1] * 8
