import abc
from abc import abstractmethod

import norvox.orchestrate.adapter.container
from norvox.orchestrate.adapter.container import (
    Container as Container,
    ContainerState as ContainerState
)


class HostBackend(abc.ABC):
    """
    The hosting backend of the mediators: one mediator container per meter.
    """

    def __init__(self) -> None: ...

    def get(self, meter_id: str) -> norvox.orchestrate.adapter.container.Container | None:
        """The container of the meter, or None."""

    @abstractmethod
    def list(self, metadata_filter: tuple[str, str] | None = None, status_filter: norvox.orchestrate.adapter.container.ContainerState | None = None) -> list[norvox.orchestrate.adapter.container.Container]:
        """
        The backend's mediator containers, filtered by one label and by state when given.
        """

    @abstractmethod
    def create(self, cmd: str, meter_id: str, serial: str, ip_address: str, port: int | None = None, additional_internal_port: int | None = None, skip_confirm: object = False, use_cert_auth: object = False) -> str:
        """Create the meter's mediator container; its id."""

    @abstractmethod
    def start(self, id: str) -> None:
        """Start the container."""

    @abstractmethod
    def stop(self, id: str) -> None:
        """Stop the container."""

    @abstractmethod
    def destroy(self, id: str, force: bool) -> None:
        """Destroy the container."""

    @abstractmethod
    def mediator_address(self, meter_id: str, serial: str) -> str | None:
        """The address (host:port) of the meter's mediator, or None."""

    def _env_vars(self, ip_address: str, use_cert_auth: bool) -> dict[str, str | int | None]:
        """
        The environment of a new mediator container, read from the process environment.
        """

    def _socks_dict(self) -> dict[str, str] | None:
        """The proxy settings when all four are set, else None."""

    def _certificates_dict(self) -> dict[str, str]:
        """The certificate settings of certificate authentication."""

    def _metadata(self, meter_id: object, ip_address: str) -> dict[str, object]:
        """The labels of a new mediator container."""
