"""Stand-in for the container records of the orchestration tools: how a hosting backend reports
the mediator containers it runs."""

from __future__ import annotations

from dataclasses import dataclass
from enum import Enum
from typing import Any


class ContainerState(Enum):
    """The life-cycle state of a container, whatever backend hosts it."""

    STARTED = "started"
    STARTING = "starting"
    STOPPED = "stopped"
    STOPPING = "stopping"
    REMOVING = "removing"
    CREATED = "created"
    FAILED = "failed"


class ContainerEnvironment(Enum):
    """Where a container runs."""

    FLY = "fly"


@dataclass(kw_only=True)
class Container:
    """One mediator container as a backend lists it."""

    id: str
    name: str
    image: str
    port: int | None
    status: ContainerState
    container_environment: ContainerEnvironment
    metadata: dict[str, Any]
