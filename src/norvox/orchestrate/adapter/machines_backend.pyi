from collections.abc import Callable
from typing import Any

import structlog.stdlib
from velk_fly_machines.api import API

import norvox.orchestrate.adapter.container
from norvox.orchestrate.adapter.container import (
    Container as Container,
    ContainerEnvironment as ContainerEnvironment,
    ContainerState as ContainerState
)
import norvox.orchestrate.adapter.host_backend
from norvox.orchestrate.adapter.host_backend import (
    HostBackend as HostBackend
)
from norvox.util.logging import get_logger as get_logger


FLY_REGION_DEFAULT: str = 'lhr'

logger: structlog.stdlib.BoundLogger

PRIVATE_NETWORK_SUFFIX: str = '.flycast'

PUBLIC_DOMAIN_SUFFIX: str = '.fly.dev'

PUBLIC_NAME_SERVER: str = '8.8.8.8'

DNS_PORT: int = 53

FLY_STATUS: dict[ContainerState, str]

CONTAINER_STATUS: dict[str, ContainerState]

def metadata_filter_fn(key: object, value: object) -> Callable[[dict[str, Any]], bool]:
    """
    The predicate of one machine map: its labels hold the key with the value.
    """

def is_error_response(response: object) -> bool:
    """
    True when the platform's answer is an error answer: a map holding "error".
    """

class MachinesBackend(norvox.orchestrate.adapter.host_backend.HostBackend):
    """
    The mediator hosting backend on the Fly Machines platform: one machine per meter.
    """

    api: API
    dns_server: str
    image: str
    fly_app: str | None
    serial: str | None
    region: str
    use_private_address: bool

    def __init__(self, api_token: str, dns_server: str, image: str, app_name: str | None = None, serial: str | None = None, use_private_address: bool | None = None, region: str | None = None) -> None: ...

    def _call_api_with_retry(self, func: Callable[..., Any], *args: object, **kwargs: object) -> Any:
        """Call a platform operation, repeating it while it gives error answers."""

    def list(self, metadata_filter: tuple[str, str] | None = None, status_filter: norvox.orchestrate.adapter.container.ContainerState | None = None) -> list[norvox.orchestrate.adapter.container.Container]:
        """
        The mediator machines of the application as containers, filtered by one label and by state when given.
        """

    def create(self, cmd: str, meter_id: str, serial: str, ip_address: str, port: int | None = None, additional_internal_port: int | None = None, skip_confirm: object = False, use_cert_auth: object = False) -> str:
        """
        Create the meter's mediator machine after the operator confirms; its id.
        """

    def start(self, id: str) -> None:
        """Start the machine."""

    def stop(self, id: str) -> None:
        """Stop the machine."""

    def destroy(self, id: str, force: bool = False) -> None:
        """
        Destroy the machine, stopping it first and waiting for that unless forced.
        """

    def mediator_address(self, meter_id: str, serial: str) -> str | None:
        """
        The address (host:port) of the meter's mediator, or None when it has none.
        """

    def get_app_address(self, machine: object) -> str:
        """The mediator address in the form the backend uses: private or public."""

    def get_public_address(self) -> str:
        """The application's public address through DNS, with the mediator port."""

    def get_private_address(self, machine: object) -> str:
        """The application's private-network address, with the mediator port."""

    def get_private_flycast_ip(self) -> str:
        """
        The application's private-network IPv6 address, looked up through the backend's name server.
        """
