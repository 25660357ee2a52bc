"""The mediator hosting backend on the machine platform, against the simulated platform and name
server: listing, creation with its prompt, the retry of platform calls, start, stop, destroy
and the mediator addresses."""

from __future__ import annotations

import copy
import errno
import inspect
import io
import json
import os
import pty
import select
import socket
import subprocess
import sys
import textwrap
import time
from decimal import Decimal

import dns.resolver
import pytest
import structlog
import tenacity

from norvox.orchestrate.adapter import machines_backend as mb
from norvox.orchestrate.adapter.container import Container, ContainerEnvironment, ContainerState
from norvox.orchestrate.adapter.host_backend import HostBackend
from sim.dns import NameServer
from sim.platform import Platform, PlatformServer
from tests.support import clean_env, json_lines, run_python

TOKEN = "fly-token-7f3a9"
APP = "meters"
IMAGE = "registry.fly.io/mediator:1.4"
UNAVAILABLE = "internal: platform unavailable"
PROXY = {"SOCKS_HOST": "proxy.local", "SOCKS_PORT": "1080", "SOCKS_USERNAME": "meters", "SOCKS_PASSWORD": "pr0xy-pw"}
CERTS = {"MEDIATOR_SERVER_CERT": "CERT", "MEDIATOR_SERVER_KEY": "PRIVATE-KEY", "MEDIATOR_CA_CERT": "CA"}
PROMPT = (
    "\nFly App:    meters\nRegion:     lhr\nImage:      registry.fly.io/mediator:1.4"
    "\nName:       mediator-DD-1001\nMetadata:   {'meter_id': '17', 'dederi_host': '10.0.0.17'}"
    "\n\nCreate machine with these details (y/n): "
)
ABORTED = "\naborting ...\n\n"


# --- fixtures ----------------------------------------------------------------------------------


@pytest.fixture
def platform(monkeypatch):
    """The simulated platform with the empty application "meters", serving for the test; the
    platform client is pointed at it."""
    platform = Platform(token=TOKEN)
    platform.add_app(APP)
    with PlatformServer(platform) as server:
        monkeypatch.setenv("FLY_API_HOSTNAME", server.url)
        platform.url = server.url
        yield platform


@pytest.fixture
def environ(monkeypatch):
    """No container setting in the environment; returns a function that sets some."""
    for name in ("MEDIATOR_INACTIVITY_SECONDS", *PROXY, *CERTS):
        monkeypatch.delenv(name, raising=False)
    return lambda **values: [monkeypatch.setenv(k, v) for k, v in values.items()]


@pytest.fixture
def backends(platform, environ):
    """Makes backends of the application against the simulated platform; closes their clients."""
    made = []

    def make(backend_class=mb.MachinesBackend, **kwargs):
        arguments = dict(api_token=TOKEN, dns_server="127.0.0.1", image=IMAGE, app_name=APP, region="lhr")
        arguments.update(kwargs)
        backend = backend_class(**arguments)
        made.append(backend.api)
        return backend

    yield make
    for api in made:
        api.close()


@pytest.fixture
def backend(backends):
    return backends()


@pytest.fixture
def events(monkeypatch):
    """The events the module logs, as structlog's capture gives them (debug ones included)."""
    capture = structlog.testing.LogCapture()
    monkeypatch.setattr(
        mb,
        "logger",
        structlog.wrap_logger(
            None, processors=[capture], wrapper_class=structlog.stdlib.BoundLogger, cache_logger_on_first_use=False
        ),
    )
    return capture.entries


@pytest.fixture
def waits(monkeypatch):
    """The retry's waits, recorded instead of slept."""
    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    return slept


@pytest.fixture
def stdin(monkeypatch):
    """Sets what standard input holds."""
    return lambda text: monkeypatch.setattr(sys, "stdin", io.StringIO(text))


@pytest.fixture
def name_server(monkeypatch):
    """A simulated name server that the module's public look-ups and DNS port point at."""
    with NameServer() as server:
        monkeypatch.setattr(mb, "PUBLIC_NAME_SERVER", server.host)
        monkeypatch.setattr(mb, "DNS_PORT", server.port)
        yield server


class Recorder:
    """Stands in front of a platform client and records each operation called, with its
    arguments; `answers` replaces the answer of an operation."""

    def __init__(self, api, **answers):
        self.api, self.answers, self.calls = api, answers, []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name in self.answers:
                return self.answers[name]
            return getattr(self.api, name)(*args, **kwargs)

        return call


def messages(events, level=None):
    return [e["event"] for e in events if level is None or e["log_level"] == level]


def mediator(platform, serial="DD-1001", meter_id="17", **kwargs):
    return platform.add_mediator(APP, serial=serial, meter_id=meter_id, ip_address="10.0.0." + meter_id, **kwargs)


# --- module ------------------------------------------------------------------------------------


def test_state_maps_and_constants():
    assert list(mb.FLY_STATUS.items()) == [
        (ContainerState.STARTED, "started"),
        (ContainerState.STARTING, "starting"),
        (ContainerState.STOPPED, "stopped"),
        (ContainerState.STOPPING, "stopping"),
        (ContainerState.REMOVING, "destroying"),
        (ContainerState.CREATED, "created"),
        (ContainerState.FAILED, "failed"),
    ]
    assert list(mb.CONTAINER_STATUS) == [
        "started",
        "stopped",
        "stopping",
        "starting",
        "destroying",
        "created",
        "failed",
    ]
    assert all(mb.FLY_STATUS[state] == word for word, state in mb.CONTAINER_STATUS.items())
    assert mb.PRIVATE_NETWORK_SUFFIX.startswith(".") and mb.PUBLIC_DOMAIN_SUFFIX.startswith(".")
    socket.inet_aton(mb.PUBLIC_NAME_SERVER)
    assert mb.DNS_PORT == 53


def test_backend_class():
    assert issubclass(mb.MachinesBackend, HostBackend)
    assert not mb.MachinesBackend.__abstractmethods__
    declared = [n for n in mb.MachinesBackend.__dict__ if not n.startswith(("__", "_abc")) or n == "__init__"]
    assert declared == [
        "__init__",
        "_call_api_with_retry",
        "list",
        "create",
        "start",
        "stop",
        "destroy",
        "mediator_address",
        "get_app_address",
        "get_public_address",
        "get_private_address",
        "get_private_flycast_ip",
    ]
    assert mb.logger._initial_values == {"module": "norvox.orchestrate.adapter.machines_backend"}


# inspect shows the declared signatures; a call without one of the arguments shown without a
# default is refused before anything is done.
SIGNATURES = {
    "MachinesBackend.__init__": "(self, api_token, dns_server, image, app_name=None, serial=None, "
    "use_private_address=None, region=None)",
    "MachinesBackend._call_api_with_retry": "(self, func, *args, **kwargs)",
    "MachinesBackend.list": "(self, metadata_filter=None, status_filter=None)",
    "MachinesBackend.create": "(self, cmd, meter_id, serial, ip_address, port=None, additional_internal_port=None, "
    "skip_confirm=False, use_cert_auth=False)",
    "MachinesBackend.start": "(self, id)",
    "MachinesBackend.destroy": "(self, id, force=False)",
    "MachinesBackend.mediator_address": "(self, meter_id, serial)",
    "MachinesBackend.get_app_address": "(self, machine)",
    "MachinesBackend.get_public_address": "(self)",
    "MachinesBackend.get_private_address": "(self, machine)",
    "metadata_filter_fn": "(key, value)",
    "is_error_response": "(response)",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(backend, name):
    function = mb
    for part in name.split("."):
        function = getattr(function, part)
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[name]
    required = [
        p
        for p in signature.parameters.values()
        if p.default is p.empty and p.kind is p.POSITIONAL_OR_KEYWORD and p.name != "self"
    ]
    if required:
        first = [backend] if "self" in signature.parameters else []
        with pytest.raises(TypeError, match="incompatible function arguments"):
            function(*first, *["x"] * (len(required) - 1))


@pytest.mark.parametrize(
    "response, expected",
    [
        ({"error": "x"}, True),
        ({"error": None}, True),
        ({"id": "1"}, False),
        ([{"error": 1}], False),
        (["error"], False),
        ("error", False),
        (None, False),
    ],
    ids=["error", "error-none", "machine", "list-of-error", "list-holding-key", "text", "none"],
)
def test_is_error_response(response, expected):
    assert mb.is_error_response(response) is expected


@pytest.mark.parametrize(
    "machine, expected",
    [
        ({"config": {"metadata": {"meter_id": "17"}}}, True),
        ({"config": {"metadata": {"meter_id": "18"}}}, False),
        ({"config": {"metadata": {"dederi_host": "17"}}}, False),
        ({"config": {"metadata": {"meter_id": 17}}}, False),
        ({"config": {"image": "i"}}, False),
    ],
    ids=["equal", "other-value", "key-missing", "other-type", "no-labels"],
)
def test_metadata_filter(machine, expected):
    machine_filter = mb.metadata_filter_fn("meter_id", "17")
    assert str(inspect.signature(machine_filter)) == "(machine)"
    assert machine_filter(machine) is expected
    assert mb.metadata_filter_fn(key="meter_id", value="17")(machine=machine) is expected


# --- constructor -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, fields",
    [
        ({}, {"serial": None, "region": "lhr", "use_private_address": True}),
        ({"region": None, "use_private_address": None}, {"region": mb.FLY_REGION_DEFAULT, "use_private_address": True}),
        (
            {"region": "", "use_private_address": False, "serial": "DD-9"},
            {"region": "", "use_private_address": False, "serial": "DD-9"},
        ),
        ({"app_name": None}, {"fly_app": None}),
    ],
    ids=["given", "defaults", "empty-region-and-false-kept", "no-app"],
)
def test_constructor_fields(backends, kwargs, fields):
    backend = backends(**kwargs)
    assert type(backend.api).__name__ == "API"
    assert list(vars(backend))[:7] == [
        "api",
        "dns_server",
        "image",
        "fly_app",
        "serial",
        "region",
        "use_private_address",
    ]
    expected = {"dns_server": "127.0.0.1", "image": IMAGE, "fly_app": APP, **fields}
    assert {k: getattr(backend, k) for k in expected} == expected
    backend.region = "ams"  # ordinary attributes
    assert backend.region == "ams"


@pytest.mark.parametrize(
    "argument, value",
    [
        ("api_token", None),
        ("dns_server", 53),
        ("image", b"img"),
        ("app_name", 5),
        ("serial", 1001),
        ("use_private_address", 1),
        ("use_private_address", "yes"),
        ("region", ["lhr"]),
    ],
)
def test_constructor_typed_parameters(backends, argument, value):
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        backends(**{argument: value})


def test_constructor_fails_with_the_client(backends):
    with pytest.raises(ValueError) as info:
        backends(api_token="fly-token\nX-Other: 1")
    assert "fly-token" not in str(info.value)


# --- listing -----------------------------------------------------------------------------------


def test_listing_maps_machines_to_containers(platform, backend):
    machine = mediator(platform, state="stopped", port=6000)
    assert backend.list() == [
        Container(
            id=machine["id"],
            name="mediator-DD-1001",
            image="registry.fly.io/mediator:latest",
            port=6000,
            status=ContainerState.STOPPED,
            container_environment=ContainerEnvironment.FLY,
            metadata={"meter_id": "17", "dederi_host": "10.0.0.17"},
        )
    ]
    [request] = platform.requests_of("list")
    assert request.query == {"region": "lhr"}
    assert request.headers["authorization"] == f"Bearer {TOKEN}"


@pytest.mark.parametrize(
    "names",
    [
        [],
        ["Mediator-DD-1", "MEDIATOR-DD-2", "meter-DD-3", "xmediator-DD-4"],
    ],
    ids=["no-machines", "prefix-in-other-case-or-place"],
)
def test_listing_keeps_only_mediators(platform, backend, names):
    for name in names:
        platform.add_machine(APP, {"name": name, "state": "started", "region": "lhr", "config": None})
    assert backend.list() == []


def test_listing_order_and_filters(platform, backend, events):
    first = mediator(platform, "DD-1", "17", state="stopped")
    platform.add_machine(APP, {"name": "mediator-DD-2", "state": "started", "region": "lhr", "config": None})
    mediator(platform, "DD-3", "18")
    third = mediator(platform, "DD-4", "17", state="destroying")
    mediator(platform, "DD-5", "17", region="ams")
    assert [c.name for c in backend.list()] == ["mediator-DD-1", "mediator-DD-3", "mediator-DD-4"]
    assert [c.id for c in backend.list(("meter_id", "17"))] == [first["id"], third["id"]]
    removing = backend.list(status_filter=ContainerState.REMOVING)
    assert [(c.id, c.status) for c in removing] == [(third["id"], ContainerState.REMOVING)]
    assert backend.list(("meter_id", "17"), ContainerState.STARTED) == []
    assert messages(events, "debug") == [
        "metadata filter [('meter_id', '17')]",
        "status filter [ContainerState.REMOVING]",
        "metadata filter [('meter_id', '17')]",
        "status filter [ContainerState.STARTED]",
    ]


def test_machine_without_labels(platform, backend):
    mediator(platform)
    platform.add_machine(
        APP,
        {
            "name": "mediator-DD-2",
            "state": "started",
            "region": "lhr",
            "config": {"image": IMAGE, "services": [{"ports": [{"port": 1}]}]},
        },
    )
    assert [c.name for c in backend.list(("meter_id", "17"))] == ["mediator-DD-1001"]
    with pytest.raises(KeyError, match="metadata"):
        backend.list()


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda m: m["config"].update(services=[]), IndexError),
        (lambda m: m["config"]["services"][0].update(ports=[]), IndexError),
        (lambda m: m.update(state="suspended"), KeyError),
        (lambda m: m["config"].pop("image"), KeyError),
    ],
    ids=["no-services", "no-ports", "unknown-state", "no-image"],
)
def test_listing_fails_on_a_malformed_machine(platform, backend, change, error):
    mediator(platform, "DD-1")
    change(mediator(platform, "DD-2"))
    with pytest.raises(error):
        backend.list()


def test_failed_listing(platform, backend, events, waits):
    platform.fail("list", error="not_found: app meters not found", status=404)
    assert backend.list() == []
    assert events == [
        {
            "fly_app": APP,
            "event": "failed to get machines {'error': 'not_found: app meters not found'}",
            "log_level": "warning",
        }
    ]
    assert len(platform.requests_of("list")) == 1 and waits == []


@pytest.mark.parametrize(
    "kwargs",
    [
        {"metadata_filter": ["meter_id", "17"]},
        {"metadata_filter": "meter_id"},
        {"status_filter": "started"},
        {"status_filter": ContainerEnvironment.FLY},
    ],
    ids=["filter-list", "filter-text", "state-word", "other-enum"],
)
def test_listing_typed_parameters(platform, backend, kwargs):
    with pytest.raises(TypeError, match=f"^Argument '{next(iter(kwargs))}' has incorrect type"):
        backend.list(**kwargs)
    assert platform.requests == []


def test_get_finds_the_meters_container(platform, backend):
    mediator(platform, "DD-1", "17")
    assert backend.get("17").name == "mediator-DD-1"
    assert backend.get("99") is None


# --- creation ----------------------------------------------------------------------------------


def create(backend, **kwargs):
    arguments = dict(cmd="python -m mediator", meter_id="17", serial="DD-1001", ip_address="10.0.0.17", port=50051)
    arguments.update(kwargs)
    return backend.create(**arguments)


def test_create_after_confirmation(platform, backend, events, stdin, capsys):
    stdin("y\n")
    machine_id = create(backend, additional_internal_port=8080)
    assert capsys.readouterr().out == PROMPT
    [request] = platform.requests_of("create")
    assert request.body == {
        "name": "mediator-DD-1001",
        "region": "lhr",
        "config": {
            "image": IMAGE,
            "init": {"cmd": ["python -m mediator"]},
            "services": [
                {"protocol": "tcp", "internal_port": 50051, "ports": [{"port": 50051}]},
                {"protocol": "tcp", "internal_port": 8080, "ports": [{"port": 8080}]},
            ],
            "env": {"DEDERI_HOST": "10.0.0.17", "MEDIATOR_INACTIVITY_SECONDS": None},
            "metadata": {"meter_id": "17", "dederi_host": "10.0.0.17"},
        },
    }
    created = platform.machine(APP, machine_id)
    assert created["state"] == "started"
    assert events == [
        {"event": f"create machine response {created}", "log_level": "info"},
        {"machine_id": machine_id, "event": f"created machine with id {machine_id}", "log_level": "info"},
    ]
    assert backend.get("17").id == machine_id


@pytest.mark.parametrize(
    "answer",
    ["Y\n", "yes\n", " y\n", "y \n", "n\n", "\n", ""],
    ids=["capital", "word", "blank-before", "blank-after", "no", "empty-line", "end-of-input"],
)
def test_anything_but_y_aborts(platform, backend, events, stdin, capsys, answer):
    stdin(answer)
    if answer == "":
        with pytest.raises(EOFError):
            create(backend)
        assert capsys.readouterr().out == PROMPT
    else:
        with pytest.raises(SystemExit) as info:
            create(backend)
        assert info.value.code == 1
        assert capsys.readouterr().out == PROMPT + ABORTED
    assert platform.requests == [] and events == []


def test_y_without_line_end_goes_on(platform, backend, stdin, capsys):
    stdin("y")
    assert create(backend) in {m["id"] for m in platform.machines(APP)}


@pytest.mark.parametrize(
    "skip_confirm, prompted",
    [(True, False), (1, True), ("yes", True), (False, True)],
    ids=["true", "one", "text", "false"],
)
def test_skip_confirm_only_when_true_itself(platform, backend, stdin, capsys, skip_confirm, prompted):
    stdin("y\n")
    create(backend, skip_confirm=skip_confirm)
    assert (capsys.readouterr().out == PROMPT) is prompted
    assert len(platform.requests_of("create")) == 1


def test_labels_before_the_prompt_environment_after(platform, backends, monkeypatch, capsys):
    order = []

    class Watched(mb.MachinesBackend):
        def _metadata(self, meter_id, ip_address):
            order.append("labels")
            return super()._metadata(meter_id, ip_address)

        def _env_vars(self, ip_address, use_cert_auth):
            order.append(("environment", use_cert_auth))
            return super()._env_vars(ip_address, use_cert_auth)

    class Answer(io.StringIO):
        def readline(self, *args):
            order.append("answer")
            return super().readline(*args)

    monkeypatch.setattr(sys, "stdin", Answer("y\n"))
    create(backends(Watched), use_cert_auth=0)
    assert order == ["labels", "answer", ("environment", 0)]


def test_prompt_without_application_name(platform, backends, stdin, capsys):
    backend = backends(app_name=None)
    backend.api = Recorder(backend.api, create={"id": "m1"})
    stdin("y\n")
    create(backend)
    assert capsys.readouterr().out.startswith("\nFly App:    None\nRegion:     lhr\n")
    [(name, args, kwargs)] = backend.api.calls
    assert name == "create" and args == (None, IMAGE, ["python -m mediator"])
    assert list(kwargs) == ["port", "additional_internal_port", "name", "env_vars", "metadata", "extra_config"]
    assert kwargs["extra_config"] == {"region": "lhr"}


@pytest.mark.parametrize(
    "port, sent",
    [
        (50051, 50051),
        (50051.9, 50051),
        (Decimal("6000"), 6000),
        (True, 1),
        (None, None),
    ],
    ids=["int", "float", "decimal", "bool", "none"],
)
def test_ports_converted_to_integers(backend, port, sent):
    backend.api = Recorder(backend.api, create={"id": "m1"})
    create(backend, port=port, additional_internal_port=port, skip_confirm=True)
    kwargs = backend.api.calls[0][2]
    assert kwargs["port"] == sent and type(kwargs["port"]) is type(sent)
    assert kwargs["additional_internal_port"] == sent


@pytest.mark.parametrize(
    "argument, value",
    [
        ("cmd", None),
        ("meter_id", 17),
        ("serial", None),
        ("ip_address", b"10.0.0.17"),
        ("port", "50051"),
        ("additional_internal_port", [8080]),
    ],
)
def test_create_typed_parameters(platform, backend, capsys, argument, value):
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        create(backend, **{argument: value})
    assert capsys.readouterr().out == "" and platform.requests == []


def test_certificate_failure_after_confirmation(platform, backend, environ, stdin, capsys):
    environ(MEDIATOR_SERVER_CERT="C", MEDIATOR_CA_CERT="CA")
    stdin("y\n")
    with pytest.raises(Exception, match="use_cert_auth is True but certificate environment variables not set"):
        create(backend, use_cert_auth=True)
    assert capsys.readouterr().out == PROMPT and platform.requests == []


def test_response_masks_secrets(platform, backend, environ, events):
    environ(**PROXY, **CERTS, MEDIATOR_INACTIVITY_SECONDS="600")
    machine_id = create(backend, skip_confirm=True, use_cert_auth=True)
    created = platform.machine(APP, machine_id)
    assert created["config"]["env"]["SOCKS_PASSWORD"] == "pr0xy-pw"  # the platform holds them
    masked = json.loads(json.dumps(created))
    masked["config"]["env"].update(SOCKS_PASSWORD="***", MEDIATOR_SERVER_KEY="***")
    assert events[0]["event"] == f"create machine response {masked}"
    assert "pr0xy-pw" not in repr(events) and "PRIVATE-KEY" not in repr(events)


@pytest.mark.parametrize(
    "answer, text",
    [
        (
            {
                "id": "m1",
                "SOCKS_PASSWORD": "pw",
                "items": [{"MEDIATOR_SERVER_KEY": "k", "SOCKS_PASSWORD_HINT": "h"}, 3],
            },
            "{'id': 'm1', 'SOCKS_PASSWORD': '***', "
            "'items': [{'MEDIATOR_SERVER_KEY': '***', 'SOCKS_PASSWORD_HINT': 'h'}, 3]}",
        ),
        (
            {"id": "m1", "env": {"socks_password": "pw", "SOCKS_PASSWORD": None}, "n": (1, 2)},
            "{'id': 'm1', 'env': {'socks_password': 'pw', 'SOCKS_PASSWORD': '***'}, 'n': (1, 2)}",
        ),
    ],
    ids=["nested-in-lists", "exact-key-only"],
)
def test_masking_wherever_the_keys_stand(backend, events, answer, text):
    backend.api = Recorder(backend.api, create=answer)
    create(backend, skip_confirm=True)
    assert events[0]["event"] == "create machine response " + text
    assert answer["id"] == "m1" and "pw" in repr(answer)  # the answer itself is left alone


def test_masking_a_circular_answer(backend, events):
    answer = {"id": "m1", "SOCKS_PASSWORD": "pw"}
    answer["self"] = answer
    answer["list"] = [answer]
    backend.api = Recorder(backend.api, create=answer)
    create(backend, skip_confirm=True)
    assert events[0]["event"] == (
        "create machine response {'id': 'm1', 'SOCKS_PASSWORD': '***', 'self': {...}, 'list': [{...}]}"
    )


@pytest.mark.parametrize(
    "answer, error", [({"name": "x"}, KeyError), ({"id": 7}, TypeError)], ids=["no-id", "id-not-text"]
)
def test_create_answer_without_a_text_id(backend, events, answer, error):
    backend.api = Recorder(backend.api, create=answer)
    with pytest.raises(error):
        create(backend, skip_confirm=True)
    expected = [f"create machine response {answer}"]
    if "id" in answer:
        expected.append("created machine with id 7")
    assert messages(events) == expected


def test_create_answer_with_id_none(backend, events):
    backend.api = Recorder(backend.api, create={"id": None})
    assert create(backend, skip_confirm=True) is None
    assert events[-1] == {"machine_id": None, "event": "created machine with id None", "log_level": "info"}


def test_create_answer_still_holding_error(backends, events):
    class Replaced(mb.MachinesBackend):
        def _call_api_with_retry(self, func, *args, **kwargs):
            return {"error": "quota exceeded", "id": "m1"}

    with pytest.raises(SystemExit) as info:
        create(backends(Replaced), skip_confirm=True)
    assert info.value.code == 1
    assert [(e["log_level"], e["event"]) for e in events][1:] == [("error", "create machine failed [quota exceeded]")]


# --- retry -------------------------------------------------------------------------------------


def test_four_error_answers_then_success(platform, backend, events, waits):
    platform.fail("create", times=4)
    machine_id = create(backend, skip_confirm=True)
    assert waits == [1, 2, 4, 8]
    assert messages(events, "warning") == [f"API call returned error, retrying: {UNAVAILABLE}"] * 4
    assert messages(events, "info")[-1] == f"created machine with id {machine_id}"
    assert len(platform.requests_of("create")) == 5
    bodies = [r.body for r in platform.requests_of("create")]
    assert all(body == bodies[0] for body in bodies)


@pytest.mark.parametrize("operation", ["create", "start", "stop"])
def test_five_error_answers(platform, backend, events, waits, capsys, operation):
    machine = mediator(platform)
    platform.fail(operation, times=5, error="unavailable: try later", status=503)
    call = {
        "create": lambda: create(backend, skip_confirm=True),
        "start": lambda: backend.start(machine["id"]),
        "stop": lambda: backend.stop(id=machine["id"]),
    }
    with pytest.raises(tenacity.RetryError) as info:
        call[operation]()
    assert info.value.last_attempt.attempt_number == 5
    assert info.value.last_attempt.result() == {"error": "unavailable: try later"}
    assert waits == [1, 2, 4, 8]
    assert messages(events) == ["API call returned error, retrying: unavailable: try later"] * 5
    assert len(platform.requests_of(operation)) == 5 and capsys.readouterr().out == ""


def test_raising_call_not_retried(backend, events, waits):
    calls = []

    def broken(*args, **kwargs):
        calls.append((args, kwargs))
        raise ConnectionError("platform unreachable")

    with pytest.raises(ConnectionError, match="platform unreachable"):
        backend._call_api_with_retry(broken, APP, "m1", force=True)
    assert calls == [((APP, "m1"), {"force": True})] and waits == [] and events == []


def test_unreachable_platform_raises_at_once(backends, monkeypatch, waits):
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        monkeypatch.setenv("FLY_API_HOSTNAME", f"http://127.0.0.1:{sock.getsockname()[1]}")
    backend = backends()
    with pytest.raises(Exception) as info:
        backend.start("m1")
    assert type(info.value).__name__ == "ConnectError" and TOKEN not in str(info.value)
    assert waits == []


def test_retried_arguments_worked_out_once(backend, waits, events):
    answers = iter([{"error": 1}, {"error": 2}, {"ok": True}])
    seen = []

    def operation(*args, **kwargs):
        seen.append((args, kwargs))
        return next(answers)

    payload = {"k": [1]}
    assert backend._call_api_with_retry(operation, payload, key=payload) == {"ok": True}
    assert all(args[0] is payload and kwargs["key"] is payload for args, kwargs in seen) and len(seen) == 3
    assert messages(events) == ["API call returned error, retrying: 1", "API call returned error, retrying: 2"]


# --- start, stop, destroy ----------------------------------------------------------------------


def test_start_and_stop(platform, backend):
    machine = mediator(platform)
    assert backend.stop(machine["id"]) is None
    assert platform.machine(APP, machine["id"])["state"] == "stopped"
    assert backend.start(id=machine["id"]) is None
    assert platform.machine(APP, machine["id"])["state"] == "started"


@pytest.mark.parametrize("operation", ["start", "stop", "destroy"])
def test_machine_id_must_be_text(platform, backend, operation):
    with pytest.raises(TypeError, match="^Argument 'id' has incorrect type"):
        getattr(backend, operation)(None)
    assert platform.requests == []


def test_destroy_stops_waits_then_destroys(platform, backends, capsys):
    platform.transition_seconds = 0.05
    backend = backends()
    machine = mediator(platform)
    backend.destroy(machine["id"])
    mid = machine["id"]
    assert capsys.readouterr().out == (
        f"stop_rsp [{mid}]: {{'ok': True}}\nwait_rsp [{mid}]: {{'ok': True}}\ndestroy_rsp [{mid}]: {{'ok': True}}\n"
    )
    assert [r.operation for r in platform.requests] == ["stop", "get", "wait", "destroy"]
    wait, destroy = platform.requests[2:]
    assert wait.query["instance_id"] == machine["instance_id"] and wait.query["state"] == "stopped"
    assert destroy.query["force"] == "false"
    assert platform.machines(APP) == [] and platform.destroyed[0]["id"] == mid


@pytest.mark.parametrize("force", [True, "yes"], ids=["true", "truthy"])
def test_forced_destroy(platform, backend, capsys, force):
    machine = mediator(platform)
    backend.api = Recorder(backend.api)
    backend.destroy(machine["id"], force)
    assert capsys.readouterr().out == f"destroy_rsp [{machine['id']}]: {{'ok': True}}\n"
    assert backend.api.calls == [("destroy", (APP, machine["id"]), {"force": True, "region": "lhr"})]
    assert platform.machines(APP) == []


def test_destroy_refused_by_the_platform_is_retried(platform, backend, capsys, waits, events):
    machine = mediator(platform)
    backend.api = Recorder(backend.api, stop={"ok": True}, wait={"ok": True})  # the machine keeps running
    with pytest.raises(tenacity.RetryError):
        backend.destroy(machine["id"])
    assert capsys.readouterr().out.splitlines()[1:] == [f"wait_rsp [{machine['id']}]: {{'ok': True}}"]
    assert messages(events)[0].startswith("API call returned error, retrying: failed_precondition")


def test_destroy_stop_exhausted(platform, backend, capsys, waits):
    machine = mediator(platform)
    platform.fail("stop", times=5)
    with pytest.raises(tenacity.RetryError):
        backend.destroy(machine["id"])
    assert capsys.readouterr().out == "" and [r.operation for r in platform.requests] == ["stop"] * 5


def test_destroy_machine_without_instance_id(platform, backend, capsys):
    machine = mediator(platform)
    backend.api = Recorder(backend.api, get={"id": machine["id"]})
    with pytest.raises(KeyError, match="instance_id"):
        backend.destroy(machine["id"])
    assert capsys.readouterr().out.startswith(f"stop_rsp [{machine['id']}]: ")
    assert [name for name, *_ in backend.api.calls] == ["stop", "get"]
    assert platform.machine(APP, machine["id"])["state"] == "stopped"


# --- secrets the platform echoes ---------------------------------------------------------------

PASSWORD, KEY = PROXY["SOCKS_PASSWORD"], CERTS["MEDIATOR_SERVER_KEY"]

# What a platform that quotes what it was sent puts into an answer, and how the backend writes it.
ECHOED = [
    pytest.param(
        f"invalid env: SOCKS_PASSWORD={PASSWORD} MEDIATOR_SERVER_KEY={KEY}",
        "invalid env: SOCKS_PASSWORD=*** MEDIATOR_SERVER_KEY=***",
        id="text",
    ),
    pytest.param(
        {"message": "invalid env", "env": {"SOCKS_PASSWORD": PASSWORD, "key": f"<{KEY}>"}, KEY: [PASSWORD]},
        {"message": "invalid env", "env": {"SOCKS_PASSWORD": "***", "key": "<***>"}, "***": ["***"]},
        id="map",
    ),
    pytest.param(
        ["invalid env", f"SOCKS_PASSWORD={PASSWORD}", [{"values": [KEY, 3]}]],
        ["invalid env", "SOCKS_PASSWORD=***", [{"values": ["***", 3]}]],
        id="list",
    ),
]


@pytest.fixture
def secrets(environ):
    """The proxy and certificate settings in the environment, the two secrets among them."""
    environ(**PROXY, **CERTS)


def no_secret_in(capsys, events) -> bool:
    """Neither secret stands in standard output, standard error or the events logged."""
    out, err = capsys.readouterr()
    return not any(secret in text for secret in (PASSWORD, KEY) for text in (out, err, repr(events)))


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_retry_warnings(platform, backend, secrets, events, waits, capsys, echoed, written):
    machine = mediator(platform)
    platform.fail("stop", times=5, error=echoed, status=400)
    with pytest.raises(tenacity.RetryError) as info:
        backend.stop(machine["id"])
    assert info.value.last_attempt.result() == {"error": echoed}  # the caller's answer as the platform gave it
    assert messages(events) == [f"API call returned error, retrying: {written}"] * 5
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_failed_listing(platform, backend, secrets, events, capsys, echoed, written):
    platform.fail("list", error=echoed, status=400)
    assert backend.list() == []
    assert events == [
        {"fly_app": APP, "event": "failed to get machines " + str({"error": written}), "log_level": "warning"}
    ]
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_creation(platform, backend, secrets, events, waits, capsys, echoed, written):
    platform.fail("create", times=4, error=echoed, status=400)
    machine_id = create(backend, skip_confirm=True, use_cert_auth=True)
    env = platform.machine(APP, machine_id)["config"]["env"]
    assert (env["SOCKS_PASSWORD"], env["MEDIATOR_SERVER_KEY"]) == (PASSWORD, KEY)
    assert messages(events, "warning") == [f"API call returned error, retrying: {written}"] * 4
    assert messages(events, "info")[-1] == f"created machine with id {machine_id}"
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_create_response(backend, secrets, events, capsys, echoed, written):
    answer = {"id": "m1", "sent": echoed}
    given = copy.deepcopy(answer)
    backend.api = Recorder(backend.api, create=answer)
    assert create(backend, skip_confirm=True) == "m1"
    assert messages(events) == [
        "create machine response " + str({"id": "m1", "sent": written}),
        "created machine with id m1",
    ]
    assert answer == given  # left as the platform gave it
    assert no_secret_in(capsys, events)


def test_echoed_secret_in_machine_id(backend, secrets, events, capsys):
    backend.api = Recorder(backend.api, create={"id": f"m-{PASSWORD}"})
    assert create(backend, skip_confirm=True) == f"m-{PASSWORD}"
    assert events[-1] == {"machine_id": "m-***", "event": "created machine with id m-***", "log_level": "info"}
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_create_failure(backends, secrets, events, capsys, echoed, written):
    class Replaced(mb.MachinesBackend):
        def _call_api_with_retry(self, func, *args, **kwargs):
            return {"error": echoed, "id": "m1"}

    with pytest.raises(SystemExit):
        create(backends(Replaced), skip_confirm=True)
    assert messages(events, "error") == [f"create machine failed [{written}]"]
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize("echoed, written", ECHOED)
def test_echoed_secrets_in_destroy_lines(platform, backend, secrets, capsys, events, echoed, written):
    mid = mediator(platform)["id"]
    answers = {"stop": {"ok": True, "sent": echoed}, "wait": {"error": echoed}, "destroy": {"ok": True, "sent": echoed}}
    given = copy.deepcopy(answers)
    backend.api = Recorder(backend.api, **answers)
    backend.destroy(mid)
    sent, waited = str({"ok": True, "sent": written}), str({"error": written})
    assert capsys.readouterr().out == (
        f"stop_rsp [{mid}]: {sent}\nwait_rsp [{mid}]: {waited}\ndestroy_rsp [{mid}]: {sent}\n"
    )
    assert answers == given
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize(
    "value, written",
    [((PASSWORD, 3), "('***', 3)"), (ValueError(f"denied: {KEY}"), "denied: ***")],
    ids=["tuple", "exception"],
)
def test_secrets_rendered_by_other_values(backend, secrets, events, waits, capsys, value, written):
    """Values that are neither text, map nor list, whose text form shows a secret."""
    answers = iter([{"error": value}, {"ok": True}])
    assert backend._call_api_with_retry(lambda: next(answers)) == {"ok": True}
    assert messages(events) == [f"API call returned error, retrying: {written}"]
    assert no_secret_in(capsys, events)


@pytest.mark.parametrize(
    "password, key, written",
    [
        ("pw-1", "key-pw-1-x", "echo *** and ***"),
        ("key-1-pw", "key-1", "echo *** and ***"),
        ("", "key-1", "echo  and ***"),
        (None, "key-1", "echo None and ***"),
    ],
    ids=["key-holds-password", "password-holds-key", "empty-password", "no-password"],
)
def test_which_secrets_are_masked(platform, backend, environ, monkeypatch, events, password, key, written):
    """The settings as they are when the line is written; the longer secret masked first, so a
    secret holding the other is masked whole; an empty setting masks nothing."""
    environ(MEDIATOR_SERVER_KEY=key)
    if password is not None:
        environ(SOCKS_PASSWORD=password)
    platform.fail("list", error=f"echo {password} and {key}", status=400)
    backend.list()
    assert messages(events) == ["failed to get machines " + str({"error": written})]
    monkeypatch.setenv("MEDIATOR_SERVER_KEY", "new-key")
    platform.fail("list", error="echo new-key", status=400)
    backend.list()
    assert messages(events)[1] == "failed to get machines {'error': 'echo ***'}"


# --- addressing --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "app_name, expected", [(APP, "meters.flycast:50051"), (None, "None.flycast:50051")], ids=["app", "no-app"]
)
def test_private_address(platform, backends, name_server, app_name, expected):
    mediator(platform, "DD-1", "17")
    mediator(platform, "DD-2", "18")
    mediator(platform, "DD-3", "18")
    backend = backends(app_name=app_name)
    # The platform knows no application "None": the listing is the one of "meters".
    backend.api = Recorder(backend.api, list=platform.machines(APP))
    assert backend.mediator_address("17", "DD-1") == expected
    assert backend.mediator_address(meter_id="18", serial="another serial") == expected
    assert backend.get_private_address(None) == expected
    assert name_server.queries == []


def test_public_address_first_record(platform, backends, name_server):
    mediator(platform, "DD-1", "17")
    name_server.add("meters.fly.dev", "A", "203.0.113.7", "203.0.113.8")
    backend = backends(use_private_address=False)
    assert backend.mediator_address("17", "DD-1") == "203.0.113.7:50051"
    assert backend.get_app_address(None) == "203.0.113.7:50051"
    assert name_server.queries == [("meters.fly.dev.", "A")] * 2


def test_no_match_prints_one_line(platform, backends, name_server, capsys):
    mediator(platform, "DD-1", "17")
    backend = backends(use_private_address=False)
    assert backend.mediator_address("99", "DD-9") is None
    platform.fail("list")
    assert backend.mediator_address("17", "DD-1") is None
    assert capsys.readouterr().out == "no match for meters with id 99\nno match for meters with id 17\n"
    assert name_server.queries == []


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda ns: None, "The DNS query name does not exist: meters.fly.dev."),
        (lambda ns: ns.add("meters.fly.dev", "AAAA", "fdaa::1"), "The DNS response does not contain an answer"),
    ],
    ids=["no-such-name", "no-a-record"],
)
def test_public_look_up_fails(platform, backends, name_server, capsys, setup, error):
    mediator(platform)
    setup(name_server)
    with pytest.raises(SystemExit) as info:
        backends(use_private_address=False).mediator_address("17", "DD-1001")
    assert info.value.code == 11
    out = capsys.readouterr().out
    assert out.startswith(f"\nFailed to resolve address [{error}") and out.endswith("]\n\n")
    assert out.count("\n") == 3


def test_public_look_up_times_out(platform, backends, name_server, capsys):
    """Takes the resolver's own time limit (5 s): the module sets none."""
    name_server.silence()
    with pytest.raises(SystemExit) as info:
        backends(use_private_address=False).get_public_address()
    assert info.value.code == 11
    assert capsys.readouterr().out.startswith("\nFailed to resolve address [The resolution lifetime expired")


def test_flycast_address(backends, name_server, monkeypatch):
    name_server.add("meters.flycast", "AAAA", "fdaa:0:1::3", "fdaa:0:1::4")
    monkeypatch.setattr(mb, "PUBLIC_NAME_SERVER", "192.0.2.1")  # not asked
    assert backends(dns_server=name_server.host).get_private_flycast_ip() == "fdaa:0:1::3"
    assert name_server.queries == [("meters.flycast.", "AAAA")]


def test_flycast_look_up_fails(backends, name_server, capsys):
    with pytest.raises(SystemExit) as info:
        backends(dns_server=name_server.host).get_private_flycast_ip()
    assert info.value.code == 10
    assert capsys.readouterr().out == (
        "\nFailed to resolve flycast address [The DNS query name does not exist: "
        "meters.flycast.]\n\nHas Wireguard been started??\n\n"
    )


def test_flycast_name_server_unreachable(backends, monkeypatch, capsys):
    """Takes the resolver's own time limit (5 s): the module sets none."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        monkeypatch.setattr(mb, "DNS_PORT", sock.getsockname()[1])
    with pytest.raises(SystemExit) as info:
        backends(dns_server="127.0.0.1").get_private_flycast_ip()
    assert info.value.code == 10
    lines = capsys.readouterr().out.split("\n")
    assert lines[1].startswith("Failed to resolve flycast address [The resolution lifetime expired")
    assert lines[-3:] == ["Has Wireguard been started??", "", ""]


def test_name_server_that_is_no_address_propagates(backends, capsys):
    with pytest.raises(ValueError):
        backends(dns_server="ns.example").get_private_flycast_ip()
    assert capsys.readouterr().out == ""


def test_resolvers_ignore_the_host_configuration(backends, name_server, monkeypatch):
    made = []

    class Resolver(dns.resolver.Resolver):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(dns.resolver, "Resolver", Resolver)
    name_server.add("meters.fly.dev", "A", "203.0.113.7")
    name_server.add("meters.flycast", "AAAA", "fdaa::9")
    backend = backends(dns_server=name_server.host)
    backend.get_public_address()
    backend.get_private_flycast_ip()
    assert made == [((), {"configure": False})] * 2


@pytest.mark.parametrize(
    "kwargs, argument",
    [
        ({"meter_id": 17, "serial": "s"}, "meter_id"),
        ({"meter_id": "17", "serial": None}, "serial"),
    ],
    ids=["meter-id", "serial"],
)
def test_addressing_typed_parameters(platform, backend, kwargs, argument):
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        backend.mediator_address(**kwargs)
    assert platform.requests == []


def test_addressing_uses_replaced_operations(backends):
    class Replaced(mb.MachinesBackend):
        def list(self, metadata_filter=None, status_filter=None):
            return ["container"] if metadata_filter == ("meter_id", "17") else []

        def get_private_address(self, machine):
            return f"{machine}:1"

    assert backends(Replaced).mediator_address("17", "s") == "container:1"


# --- the module's real log lines and streams ---------------------------------------------------


def test_create_as_an_operator_sees_it(platform, environ):
    """In a process of its own: the prompt on standard output, the log lines as JSON, no secret
    and no token anywhere in the output."""
    code = textwrap.dedent(f"""
        import time
        time.sleep = lambda seconds: None
        from norvox.orchestrate.adapter.machines_backend import MachinesBackend
        backend = MachinesBackend({TOKEN!r}, "127.0.0.1", {IMAGE!r}, {APP!r}, region="lhr")
        backend.create("python -m mediator", "17", "DD-1001", "10.0.0.17", port=50051, use_cert_auth=True)
    """)
    platform.fail("create", times=1, error=f"echo {TOKEN}")
    env = clean_env(FLY_API_HOSTNAME=platform.url, **PROXY, **CERTS)
    proc = run_python(code, env=env, input="y\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(PROMPT)
    events = json_lines(proc.stdout[len(PROMPT) :])
    assert [(e["level"], e["module"]) for e in events] == [
        ("warning", "norvox.orchestrate.adapter.machines_backend")
    ] + [("info", "norvox.orchestrate.adapter.machines_backend")] * 2
    assert events[0]["event"] == "API call returned error, retrying: echo ***"
    assert "'SOCKS_PASSWORD': '***'" in events[1]["event"] and "'MEDIATOR_SERVER_KEY': '***'" in events[1]["event"]
    for secret in ("pr0xy-pw", "PRIVATE-KEY", TOKEN):
        assert secret not in proc.stdout + proc.stderr


def read_terminal(master: int, until: bytes | None = None) -> bytes:
    """What the program writes to its terminal, read from the pseudo-terminal's master side:
    up to and including `until`, or to the end (the program's side closed)."""
    data = b""
    while until is None or until not in data:
        ready, _, _ = select.select([master], [], [], 30)
        assert ready, f"the program wrote nothing further to its terminal after {data!r}"
        try:
            chunk = os.read(master, 4096)
        except OSError as e:  # Linux: EIO once no process holds the terminal
            if e.errno != errno.EIO:
                raise
            chunk = b""
        if not chunk:
            assert until is None, f"the terminal closed before {until!r}: {data!r}"
            return data
        data += chunk
    return data


def test_prompt_on_the_terminal(platform, tmp_path):
    """On a terminal the question reaches standard output, whatever standard error is sent to."""
    code = textwrap.dedent(f"""
        from norvox.orchestrate.adapter.machines_backend import MachinesBackend
        backend = MachinesBackend({TOKEN!r}, "127.0.0.1", {IMAGE!r}, {APP!r}, region="lhr")
        print("created", backend.create("python -m mediator", "17", "DD-1001", "10.0.0.17", port=50051))
    """)
    master, terminal = pty.openpty()
    try:
        with open(tmp_path / "stderr", "w") as err:
            proc = subprocess.Popen(
                [sys.executable, "-c", code],
                stdin=terminal,
                stdout=terminal,
                stderr=err,
                env=clean_env(FLY_API_HOSTNAME=platform.url),
            )
        os.close(terminal)
        terminal = None
        try:
            asked = read_terminal(master, until=b"(y/n): ")
            os.write(master, b"y\n")
            rest = read_terminal(master)
            proc.wait(timeout=60)
        finally:
            if proc.poll() is None:  # still waiting for its answer
                proc.kill()
                proc.wait()
    finally:
        os.close(master)
        if terminal is not None:
            os.close(terminal)
    # The terminal writes a line end as "\r\n" and echoes the answer typed.
    assert asked.decode().replace("\r\n", "\n") == PROMPT
    assert rest.decode().replace("\r\n", "\n").startswith("y\n")
    assert (tmp_path / "stderr").read_text() == ""
    assert proc.returncode == 0
    [machine] = platform.machines(APP)
    assert f"created {machine['id']}" in rest.decode()


def test_demo_hosting_round(waits, capsys):
    from sim import demo_hosting

    constants = mb.PUBLIC_NAME_SERVER, mb.DNS_PORT
    demo_hosting.main()
    out = capsys.readouterr().out
    assert "Create machine with these details (y/n): y\n" in out and "\naborting ...\n\n[exit status 1]" in out
    assert out.rstrip().endswith("hosting round: done") and waits == [1]
    assert (mb.PUBLIC_NAME_SERVER, mb.DNS_PORT) == constants
