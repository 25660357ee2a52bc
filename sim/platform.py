"""Simulated machine platform: the machines REST interface that velk_fly_machines.api calls, over
HTTP on 127.0.0.1 (ephemeral port), for applications and machines held in memory.

    platform = Platform(token="platform-token")
    platform.add_mediator("meters", serial="DD-1001", meter_id="17", ip_address="10.0.0.17")
    platform.fail("create", times=4)               # the next four creations get error answers
    with PlatformServer(platform) as server:
        os.environ["FLY_API_HOSTNAME"] = server.url
        API("platform-token").list("meters")      # [{"id": ..., "name": "mediator-DD-1001", ...}]
    platform.requests                              # every request, in order

Machines change state as on the platform: a new machine starts; `stop` and `start` pass through
"stopping" and "starting" (for `transition_seconds`, none by default) to "stopped" and
"started"; `wait` holds its answer until the machine reaches the state asked for; `destroy`
refuses a running machine unless forced and takes it out of the listings. Error answers are
{"error": text} with an error status, as the platform gives them.
"""

from __future__ import annotations

import copy
import itertools
import json
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler
from typing import Any
from urllib.parse import parse_qsl, unquote, urlsplit

from sim.server import LocalHTTPServer, read_body

OPERATIONS = ("list", "create", "get", "start", "stop", "wait", "destroy")


@dataclass
class Request:
    method: str
    path: str
    operation: str | None
    query: dict[str, str]
    headers: dict[str, str]
    body: Any


@dataclass
class Failure:
    status: int
    error: Any


class PlatformError(Exception):
    def __init__(self, status: int, error: Any):
        super().__init__(error)
        self.status = status
        self.error = error


class Platform:
    """Applications and their machines; `apps[app][machine id]` is the machine's map as the
    platform gives it. Every change happens under one condition, which `wait` waits on."""

    def __init__(self, token: str = "platform-token", *, transition_seconds: float = 0.0):
        self.token = token
        self.transition_seconds = transition_seconds
        self.apps: dict[str, dict[str, dict]] = {}
        self.destroyed: list[dict] = []
        self.requests: list[Request] = []
        self._failures: dict[str, list[Failure]] = {op: [] for op in OPERATIONS}
        self._ids = itertools.count(1)
        self._changed = threading.Condition()

    # --- set-up by the test ------------------------------------------------------------------

    def add_app(self, name: str) -> None:
        with self._changed:
            self.apps.setdefault(name, {})

    def add_machine(self, app: str, machine: dict) -> dict:
        """Put a machine map into the application exactly as given (any shape, for listings of
        odd machines); an "id" and an "instance_id" are added when it has none."""
        with self._changed:
            machine.setdefault("id", self._new_id())
            machine.setdefault("instance_id", self._new_instance_id())
            self.apps.setdefault(app, {})[machine["id"]] = machine
            return machine

    def add_mediator(
        self,
        app: str,
        *,
        serial: str,
        meter_id: Any,
        ip_address: str,
        state: str = "started",
        region: str = "lhr",
        image: str = "registry.fly.io/mediator:latest",
        port: int = 50051,
    ) -> dict:
        """A mediator machine as the hosting backend creates it."""
        return self.add_machine(
            app,
            self._machine(
                name=f"mediator-{serial}",
                region=region,
                state=state,
                config={
                    "image": image,
                    "init": {"cmd": ["mediator"]},
                    "env": {"DEDERI_HOST": ip_address},
                    "services": [{"protocol": "tcp", "internal_port": port, "ports": [{"port": port}]}],
                    "metadata": {"meter_id": meter_id, "dederi_host": ip_address},
                },
            ),
        )

    def fail(
        self, operation: str, times: int = 1, *, error: Any = "internal: platform unavailable", status: int = 500
    ) -> None:
        """The next `times` requests of `operation` get the error answer {"error": error}; `error`
        is a text as the platform gives it, or any other JSON value (a map, a list)."""
        if operation not in OPERATIONS:
            raise ValueError(f"unknown operation {operation!r}")
        with self._changed:
            self._failures[operation].extend(Failure(status, error) for _ in range(times))

    def machines(self, app: str) -> list[dict]:
        with self._changed:
            return [copy.deepcopy(m) for m in self.apps.get(app, {}).values()]

    def machine(self, app: str, machine_id: str) -> dict:
        with self._changed:
            return copy.deepcopy(self.apps[app][machine_id])

    def requests_of(self, operation: str) -> list[Request]:
        return [r for r in self.requests if r.operation == operation]

    # --- the operations ----------------------------------------------------------------------

    def handle(self, request: Request) -> tuple[int, Any]:
        with self._changed:
            self.requests.append(request)
            if request.headers.get("authorization") != f"Bearer {self.token}":
                raise PlatformError(401, "unauthorized")
            if request.operation is None:
                raise PlatformError(404, "not found")
            pending = self._failures[request.operation]
            if pending:
                failure = pending.pop(0)
                raise PlatformError(failure.status, failure.error)
        return getattr(self, "_op_" + request.operation)(request)

    def _op_list(self, request: Request) -> tuple[int, Any]:
        with self._changed:
            machines = self._app(request).values()
            region = request.query.get("region")
            return 200, [copy.deepcopy(m) for m in machines if region is None or m.get("region") == region]

    def _op_create(self, request: Request) -> tuple[int, Any]:
        body = request.body
        if not isinstance(body, dict) or not isinstance(body.get("config"), dict) or "image" not in body["config"]:
            raise PlatformError(400, "invalid_argument: config with an image is required")
        with self._changed:
            machines = self._app(request)
            name = body.get("name") or f"machine-{next(self._ids)}"
            if any(m.get("name") == name for m in machines.values()):
                raise PlatformError(409, f"already_exists: a machine named {name} exists")
            machine = self._machine(
                name=name, region=body.get("region", "lhr"), state="created", config=copy.deepcopy(body["config"])
            )
            machines[machine["id"]] = machine
            self._move(machine, "starting", "started")
            return 200, copy.deepcopy(machine)

    def _op_get(self, request: Request) -> tuple[int, Any]:
        with self._changed:
            return 200, copy.deepcopy(self._target(request))

    def _op_start(self, request: Request) -> tuple[int, Any]:
        with self._changed:
            machine = self._target(request)
            previous = machine["state"]
            self._move(machine, "starting", "started")
            return 200, {"previous_state": previous, "migrated": False, "new_host": ""}

    def _op_stop(self, request: Request) -> tuple[int, Any]:
        with self._changed:
            machine = self._target(request)
            self._move(machine, "stopping", "stopped")
            return 200, {"ok": True}

    def _op_wait(self, request: Request) -> tuple[int, Any]:
        state = request.query.get("state", "started")
        timeout = float(request.query.get("timeout", "60"))
        with self._changed:
            machine = self._target(request)
            if request.query.get("instance_id") not in (None, machine["instance_id"]):
                raise PlatformError(400, "invalid_argument: instance_id does not match the machine's")
            if not self._changed.wait_for(lambda: machine["state"] == state, timeout):
                raise PlatformError(408, f"deadline_exceeded: machine did not reach {state} in time")
            return 200, {"ok": True}

    def _op_destroy(self, request: Request) -> tuple[int, Any]:
        force = request.query.get("force") == "true"
        with self._changed:
            machine = self._target(request)
            if machine["state"] in ("started", "starting") and not force:
                raise PlatformError(412, "failed_precondition: unable to destroy machine, not currently stopped")
            del self._app(request)[machine["id"]]
            machine["state"] = "destroyed"
            self.destroyed.append(machine)
            self._changed.notify_all()
            return 200, {"ok": True}

    # --- inner workings ----------------------------------------------------------------------

    def _new_id(self) -> str:
        return f"{next(self._ids):014x}"

    def _new_instance_id(self) -> str:
        return f"01J{next(self._ids):023d}"

    def _machine(self, **fields) -> dict:
        return {
            "id": self._new_id(),
            "name": fields["name"],
            "state": fields["state"],
            "region": fields["region"],
            "instance_id": self._new_instance_id(),
            "private_ip": f"fdaa:0:1::{next(self._ids):x}",
            "config": fields["config"],
        }

    def _app(self, request: Request) -> dict[str, dict]:
        app = unquote(request.path.split("/")[3])
        if app not in self.apps:
            raise PlatformError(404, f"not_found: app {app} not found")
        return self.apps[app]

    def _target(self, request: Request) -> dict:
        machine_id = unquote(request.path.split("/")[5])
        machine = self._app(request).get(machine_id)
        if machine is None:
            raise PlatformError(404, f"not_found: machine {machine_id} not found")
        return machine

    def _move(self, machine: dict, passing: str, final: str) -> None:
        """Move the machine to `final`, through `passing` when transitions take time."""
        if self.transition_seconds <= 0:
            machine["state"] = final
            self._changed.notify_all()
            return
        machine["state"] = passing
        self._changed.notify_all()

        def arrive():
            with self._changed:
                if machine["state"] == passing:
                    machine["state"] = final
                    self._changed.notify_all()

        timer = threading.Timer(self.transition_seconds, arrive)
        timer.daemon = True
        timer.start()


def operation_of(method: str, path: str) -> str | None:
    """The operation a request asks for: /v1/apps/<app>/machines[/<id>[/<action>]]."""
    parts = path.split("/")
    if len(parts) < 5 or parts[:3] != ["", "v1", "apps"] or parts[4] != "machines":
        return None
    if len(parts) == 5:
        return {"GET": "list", "POST": "create"}.get(method)
    if len(parts) == 6:
        return {"GET": "get", "DELETE": "destroy"}.get(method)
    if len(parts) == 7:
        return {("POST", "start"): "start", ("POST", "stop"): "stop", ("GET", "wait"): "wait"}.get((method, parts[6]))
    return None


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out as two writes; without this each answer waits for a delayed ACK.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def _serve(self) -> None:
        url = urlsplit(self.path)
        body = read_body(self)
        request = Request(
            self.command,
            url.path,
            operation_of(self.command, url.path),
            dict(parse_qsl(url.query)),
            {k.lower(): v for k, v in self.headers.items()},
            body,
        )
        try:
            status, answer = self.server.platform.handle(request)
        except PlatformError as e:
            status, answer = e.status, {"error": e.error}
        payload = json.dumps(answer).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    do_GET = do_POST = do_DELETE = _serve


class PlatformServer(LocalHTTPServer):
    """Serves a `Platform` on 127.0.0.1 at an ephemeral port; use as a context manager."""

    def __init__(self, platform: Platform):
        super().__init__(_Handler, platform=platform)
        self.platform = platform
