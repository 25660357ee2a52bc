"""Fixtures shared by the test files: the simulated database, and running programs."""

from __future__ import annotations

import pytest

from sim.db import Database, DatabaseServer
from sim.mediator import MediatorFleet


@pytest.fixture
def database():
    """Start a simulated database over the given schemas: database({"tessel": {...}}, ...)."""
    servers = []

    def start(schemas, **kwargs) -> DatabaseServer:
        server = DatabaseServer(Database(schemas, **kwargs)).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def fleet():
    """A simulated mediator fleet with no meters, serving for the test."""
    with MediatorFleet() as fleet:
        yield fleet
