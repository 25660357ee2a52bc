"""The hosting round of the demo: the mediators of one platform application, run through the
machines backend against a simulated machine platform and name server.

    python -m sim.demo_hosting        (sim.demo runs it as its last round)

Starts both peers on 127.0.0.1, points the backend at them (FLY_API_HOSTNAME, and the module's
name server and DNS port), then lists, creates (the prompt answered "y", then "n"), stops, starts
and destroys mediators and works out a mediator's address in both forms. The operator's prompt,
the printed lines and the backend's log lines appear as an operator would see them. Ends with
SystemExit and a message when something is not as expected.
"""

from __future__ import annotations

import io
import logging
import os
import sys
from contextlib import contextmanager

from sim.console import event_text, heading, parse_event
from sim.dns import NameServer
from sim.platform import Platform, PlatformServer

APP = "norvox-mediators"
TOKEN = "demo-platform-token"
IMAGE = "registry.fly.io/norvox-mediator:2.3"
REGION = "lhr"
PUBLIC_ADDRESS = "203.0.113.10"

# The settings a new mediator container is given; the proxy password must not reach the log.
CONTAINER_SETTINGS = {
    "MEDIATOR_INACTIVITY_SECONDS": "900",
    "SOCKS_HOST": "socks.velk.local",
    "SOCKS_PORT": "1080",
    "SOCKS_USERNAME": "mediators",
    "SOCKS_PASSWORD": "demo-proxy-password",
}


def check(condition: bool, message: str) -> None:
    if not condition:
        raise SystemExit("hosting round: " + message)


class EchoedInput(io.StringIO):
    """Standard input holding the operator's answers; each line read is echoed to standard
    output, as a terminal shows what is typed."""

    def readline(self, *args) -> str:
        line = super().readline(*args)
        sys.stdout.write(line)
        sys.stdout.flush()
        return line


@contextmanager
def operator_answers(text: str):
    saved = sys.stdin
    sys.stdin = EchoedInput(text)
    try:
        yield
    finally:
        sys.stdin = saved


@contextmanager
def environment(**settings: str):
    saved = {name: os.environ.get(name) for name in settings}
    os.environ.update(settings)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


class EventLines(logging.Formatter):
    """The backend's JSON log lines shown as the other demo rounds show them: level, event and
    the named fields."""

    def format(self, record: logging.LogRecord) -> str:
        text = record.getMessage()
        event = parse_event(text)
        # A console line (standard error is a terminal) is readable already.
        return text if event is None else event_text(event)


@contextmanager
def event_lines():
    import norvox.util.logging  # noqa: F401 - sets up the process's logging first

    handlers = logging.getLogger().handlers
    saved = [h.formatter for h in handlers]
    for handler in handlers:
        handler.setFormatter(EventLines())
    try:
        yield
    finally:
        for handler, formatter in zip(handlers, saved, strict=True):
            handler.setFormatter(formatter)


def show(call: str) -> None:
    print(f"\n>>> {call}", flush=True)


def exit_status(action) -> int:
    """Run `action`; the status it ends the process with, 0 when it returns."""
    try:
        action()
    except SystemExit as e:
        sys.stdout.flush()
        return e.code if isinstance(e.code, int) else 1
    return 0


def show_machines(platform: Platform) -> None:
    print(f"{'machine id':16} {'name':22} {'state':10} labels", flush=True)
    for machine in platform.machines(APP):
        labels = (machine.get("config") or {}).get("metadata", "-")
        print(f"{machine['id']:16} {machine['name']:22} {machine['state']:10} {labels}")
    sys.stdout.flush()


def seed(platform: Platform) -> None:
    platform.add_app(APP)
    platform.add_mediator(APP, serial="DD-1001", meter_id="1", ip_address="10.20.0.1", image=IMAGE)
    platform.add_mediator(APP, serial="DD-2001", meter_id="5", ip_address="10.20.0.5", image=IMAGE, state="stopped")
    # Not a mediator: the backend leaves it alone.
    platform.add_machine(
        APP,
        {
            "name": "log-shipper",
            "state": "started",
            "region": REGION,
            "config": {"image": "vector:0.40", "metadata": {}},
        },
    )


def run_round(platform: Platform, name_server: NameServer) -> None:
    from norvox.orchestrate.adapter import machines_backend as mb

    # The module's name server and port, pointed at the local one for the public look-up.
    saved = mb.PUBLIC_NAME_SERVER, mb.DNS_PORT
    mb.PUBLIC_NAME_SERVER, mb.DNS_PORT = name_server.host, name_server.port
    backend = mb.MachinesBackend(TOKEN, name_server.host, IMAGE, APP, region=REGION)
    try:
        heading(f"Mediator hosting: the mediators of the platform application {APP}")
        show_machines(platform)
        show("backend.list()")
        for container in backend.list():
            print(f"  {container.name:20} {container.status.name:8} port {container.port}  {container.metadata}")
        check([c.name for c in backend.list()] == ["mediator-DD-1001", "mediator-DD-2001"], "listing")

        heading("Create the mediator of meter 3 (DD-1003): the operator answers y")
        show('backend.create("mediator --serve", "3", "DD-1003", "10.20.0.3", port=50051)')
        created = {}
        with operator_answers("y\n"):
            status = exit_status(
                lambda: created.update(id=backend.create("mediator --serve", "3", "DD-1003", "10.20.0.3", port=50051))
            )
        check(status == 0, f"creation confirmed with y ended with status {status}")
        print(f"returned {created['id']!r}   (the proxy password shows as *** in the response line)")
        check(
            platform.machine(APP, created["id"])["config"]["env"]["SOCKS_PASSWORD"] == "demo-proxy-password",
            "the platform did not receive the container environment",
        )

        heading("Create the mediator of meter 4 (DD-1004): the operator answers n")
        show('backend.create("mediator --serve", "4", "DD-1004", "10.20.0.4", port=50051)')
        with operator_answers("n\n"):
            status = exit_status(lambda: backend.create("mediator --serve", "4", "DD-1004", "10.20.0.4", port=50051))
        print(f"[exit status {status}]")
        check(status == 1, f"creation answered n ended with status {status}, expected 1")
        check(backend.get("4") is None, "a machine was created for meter 4")
        show_machines(platform)

        mid = created["id"]
        heading(f"Stop and start {mid}; the platform fails the first start once (retried after 1 s)")
        show(f"backend.stop({mid!r})")
        backend.stop(mid)
        check(backend.get("3").status == mb.ContainerState.STOPPING, "the machine is not stopping")
        print(f"  state {backend.get('3').status.name}")
        platform.fail("start", times=1, error="unavailable: host is busy", status=503)
        show(f"backend.start({mid!r})")
        backend.start(mid)
        print(f"  state {backend.get('3').status.name}")

        heading("Mediator addresses of meter 1")
        show('backend.mediator_address("1", "DD-1001")   # private network, no look-up')
        private = backend.mediator_address("1", "DD-1001")
        print(f"  {private}")
        check(private == f"{APP}.flycast:50051", f"private address {private}")
        backend.use_private_address = False
        show('backend.mediator_address("1", "DD-1001")   # public, through the local name server')
        public = backend.mediator_address("1", "DD-1001")
        print(f"  {public}")
        check(public == f"{PUBLIC_ADDRESS}:50051", f"public address {public}")
        show('backend.mediator_address("99", "DD-9999")  # no such meter')
        check(backend.mediator_address("99", "DD-9999") is None, "an address for an unknown meter")

        heading(f"Destroy {mid}: stop, wait until stopped, destroy")
        show(f"backend.destroy({mid!r})")
        backend.destroy(mid)
        check(all(m["id"] != mid for m in platform.machines(APP)), "the machine was not destroyed")
        show_machines(platform)
    finally:
        backend.api.close()
        mb.PUBLIC_NAME_SERVER, mb.DNS_PORT = saved


def main() -> None:
    platform = Platform(token=TOKEN, transition_seconds=0.3)
    seed(platform)
    with PlatformServer(platform) as server, NameServer() as name_server:
        name_server.add(APP + ".fly.dev", "A", PUBLIC_ADDRESS, "203.0.113.11")
        with environment(FLY_API_HOSTNAME=server.url, **CONTAINER_SETTINGS), event_lines():
            run_round(platform, name_server)
    print("\nhosting round: done", flush=True)


if __name__ == "__main__":
    main()
