"""The abstract hosting backend: abstract operations, the look-up of a meter's container, and
the environment and labels of a new mediator container read from the process environment."""

from __future__ import annotations

import abc
import inspect

import pytest

from norvox.orchestrate.adapter import host_backend
from norvox.orchestrate.adapter.host_backend import HostBackend

SETTINGS = (
    "MEDIATOR_INACTIVITY_SECONDS",
    "SOCKS_HOST",
    "SOCKS_PORT",
    "SOCKS_USERNAME",
    "SOCKS_PASSWORD",
    "MEDIATOR_SERVER_CERT",
    "MEDIATOR_SERVER_KEY",
    "MEDIATOR_CA_CERT",
)
ABSTRACT = ("list", "create", "start", "stop", "destroy", "mediator_address")
PROXY = {"SOCKS_HOST": "proxy.local", "SOCKS_PORT": "1080", "SOCKS_USERNAME": "meters", "SOCKS_PASSWORD": "s3cret"}
CERTS = {
    "MEDIATOR_SERVER_CERT": "-----CERT-----",
    "MEDIATOR_SERVER_KEY": "-----KEY-----",
    "MEDIATOR_CA_CERT": "-----CA-----",
}


class Backend(HostBackend):
    """A complete backend whose listing is given by the test; records what it is asked."""

    def __init__(self, containers=()):
        super().__init__()
        self.containers = list(containers)
        self.calls = []

    def list(self, *args, **kwargs):
        self.calls.append(("list", args, kwargs))
        return self.containers

    def create(
        self,
        cmd,
        meter_id,
        serial,
        ip_address,
        port=None,
        additional_internal_port=None,
        skip_confirm=False,
        use_cert_auth=False,
    ):
        return "id"

    def start(self, id):
        pass

    def stop(self, id):
        pass

    def destroy(self, id, force):
        pass

    def mediator_address(self, meter_id, serial):
        return None


@pytest.fixture
def environ(monkeypatch):
    """The container settings all unset; returns a function that sets some of them."""
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)

    def set_env(**values):
        for name, value in values.items():
            monkeypatch.setenv(name, value)

    return set_env


def test_abstract_backend_cannot_be_made():
    assert HostBackend.__bases__ == (abc.ABC,) and type(HostBackend) is abc.ABCMeta
    assert HostBackend.__abstractmethods__ == frozenset(ABSTRACT)
    with pytest.raises(TypeError, match="abstract"):
        HostBackend()


@pytest.mark.parametrize("missing", ABSTRACT)
def test_subclass_leaving_one_operation_undefined_cannot_be_made(missing):
    namespace = {name: getattr(Backend, name) for name in ABSTRACT if name != missing}
    incomplete = type("Incomplete", (HostBackend,), namespace)
    with pytest.raises(TypeError, match=missing):
        incomplete()
    Backend()  # all six defined


# inspect shows the declared signatures; the calls must take the arguments they show.
SIGNATURES = {
    "__init__": "(self)",
    "get": "(self, meter_id)",
    "list": "(self, metadata_filter=None, status_filter=None)",
    "create": "(self, cmd, meter_id, serial, ip_address, port=None, additional_internal_port=None, "
    "skip_confirm=False, use_cert_auth=False)",
    "destroy": "(self, id, force)",
    "mediator_address": "(self, meter_id, serial)",
    "_env_vars": "(self, ip_address, use_cert_auth)",
    "_socks_dict": "(self)",
    "_metadata": "(self, meter_id, ip_address)",
}


@pytest.mark.parametrize("operation", SIGNATURES)
def test_signatures(environ, operation):
    method = getattr(HostBackend, operation)
    signature = inspect.signature(method)
    assert str(signature) == SIGNATURES[operation]
    required = [p for p in list(signature.parameters.values())[1:] if p.default is p.empty]
    method(Backend(), *[""] * len(required))
    if required:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            method(Backend(), *[""] * (len(required) - 1))


def test_operations_in_declaration_order():
    declared = [name for name in HostBackend.__dict__ if not name.startswith("__") or name == "__init__"]
    assert declared[:12] == [
        "__init__",
        "get",
        *ABSTRACT,
        "_env_vars",
        "_socks_dict",
        "_certificates_dict",
        "_metadata",
    ]


@pytest.mark.parametrize(
    "settings, use_cert_auth, expected",
    [
        ({}, False, {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": None}),
        (
            {"MEDIATOR_INACTIVITY_SECONDS": "300"},
            False,
            {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": "300"},
        ),
        (
            {**PROXY, "SOCKS_USERNAME": ""},
            False,
            {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": None, **PROXY, "SOCKS_USERNAME": ""},
        ),
        (
            {k: v for k, v in PROXY.items() if k != "SOCKS_PORT"},
            False,
            {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": None},
        ),
        ({**PROXY, **CERTS}, False, {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": None, **PROXY}),
        (
            {**CERTS, "MEDIATOR_INACTIVITY_SECONDS": "60", **PROXY, "MEDIATOR_SERVER_KEY": ""},
            True,
            {
                "DEDERI_HOST": "10.1.2.3",
                "MEDIATOR_INACTIVITY_SECONDS": "60",
                **PROXY,
                **CERTS,
                "MEDIATOR_SERVER_KEY": "",
            },
        ),
        (CERTS, "yes", {"DEDERI_HOST": "10.1.2.3", "MEDIATOR_INACTIVITY_SECONDS": None, **CERTS}),
    ],
    ids=[
        "nothing-set",
        "inactivity-as-text",
        "proxy-one-empty",
        "proxy-three-of-four",
        "certs-without-auth",
        "everything",
        "certs-by-truth-value",
    ],
)
def test_container_environment(environ, settings, use_cert_auth, expected):
    environ(**settings)
    env = Backend()._env_vars("10.1.2.3", use_cert_auth)
    assert list(env.items()) == list(expected.items())


@pytest.mark.parametrize("unset", list(CERTS))
def test_certificate_authentication_without_a_certificate_variable(environ, unset):
    environ(**PROXY, **{k: v for k, v in CERTS.items() if k != unset})
    read = []

    class Watched(Backend):
        def _socks_dict(self):
            read.append("proxy")
            return super()._socks_dict()

    with pytest.raises(
        Exception, match="^use_cert_auth is True but certificate environment variables not set$"
    ) as info:
        Watched()._env_vars("10.1.2.3", True)
    assert type(info.value) is Exception
    assert read == ["proxy"]


def test_certificates_not_read_without_certificate_authentication(environ):
    class NoCertificates(Backend):
        def _certificates_dict(self):
            raise AssertionError("certificates read")

    assert "MEDIATOR_SERVER_CERT" not in NoCertificates()._env_vars("10.1.2.3", 0)


def test_environment_read_at_every_call(environ):
    backend = Backend()
    assert backend._socks_dict() is None
    environ(**PROXY, MEDIATOR_INACTIVITY_SECONDS="30")
    env = backend._env_vars("10.1.2.3", False)
    assert env["MEDIATOR_INACTIVITY_SECONDS"] == "30" and env["SOCKS_PASSWORD"] == "s3cret"
    assert list(backend._socks_dict()) == list(PROXY)
    environ(**CERTS)
    assert list(backend._certificates_dict().items()) == list(CERTS.items())


@pytest.mark.parametrize("method", ["_socks_dict", "_certificates_dict"])
@pytest.mark.parametrize(
    "result, added",
    [
        (None, {}),
        ({"EXTRA": "1", "OTHER": "2"}, {"EXTRA": "1", "OTHER": "2"}),
    ],
    ids=["none-adds-nothing", "map-entries-in-order"],
)
def test_replaced_settings_maps_are_used(environ, method, result, added):
    backend = type("Replaced", (Backend,), {method: lambda self: result})()
    env = backend._env_vars("10.1.2.3", True) if method == "_certificates_dict" else backend._env_vars("h", False)
    assert list(env.items())[2:] == list(added.items())


@pytest.mark.parametrize("method", ["_socks_dict", "_certificates_dict"])
def test_settings_map_of_another_type(environ, method):
    backend = type("Replaced", (Backend,), {method: lambda self: [("SOCKS_HOST", "x")]})()
    with pytest.raises(TypeError, match=f"{method} returned incorrect type"):
        backend._env_vars("10.1.2.3", True)


def test_labels():
    labels = Backend()._metadata(42, "10.1.2.3")
    assert list(labels.items()) == [("meter_id", 42), ("dederi_host", "10.1.2.3")]
    meter_id = object()
    assert Backend()._metadata(meter_id=meter_id, ip_address="h")["meter_id"] is meter_id


@pytest.mark.parametrize(
    "containers, expected", [([], None), (["first", "second"], "first")], ids=["none-listed", "first-of-two"]
)
def test_get(containers, expected):
    backend = Backend(containers)
    assert backend.get("meter-7") == expected
    assert backend.calls == [("list", (("meter_id", "meter-7"),), {})]


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda b: b.get(7), "meter_id"),
        (lambda b: b.get(meter_id=None), "meter_id"),
        (lambda b: b._env_vars(None, False), "ip_address"),
        (lambda b: b._env_vars(b"10.1.2.3", True), "ip_address"),
        (lambda b: b._metadata("m", 10), "ip_address"),
    ],
    ids=["get-int", "get-none", "env-none", "env-bytes", "labels-int"],
)
def test_typed_parameters(environ, call, argument):
    class Untouched(Backend):
        def _socks_dict(self):
            raise AssertionError("environment read")

    backend = Untouched()
    with pytest.raises(TypeError, match=f"^Argument '{argument}' has incorrect type"):
        call(backend)
    assert backend.calls == []


def test_abstract_declarations_do_nothing():
    backend = Backend()
    for name, args in [
        ("list", ()),
        ("create", ("c", "m", "s", "h")),
        ("start", ("i",)),
        ("stop", ("i",)),
        ("destroy", ("i", True)),
        ("mediator_address", ("m", "s")),
    ]:
        assert getattr(HostBackend, name)(backend, *args) is None


def test_module_takes_the_container_types():
    from norvox.orchestrate.adapter.container import Container, ContainerState

    assert host_backend.Container is Container and host_backend.ContainerState is ContainerState
