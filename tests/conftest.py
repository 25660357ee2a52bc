"""Fixtures shared by the test files: the simulated database, and running programs."""

from __future__ import annotations

import httpx
import pytest

from sim.db import Database, DatabaseServer
from sim.mediator import MediatorFleet

# Fixtures kept beside the helpers they go with.
pytest_plugins = ["tests.sync_support", "tests.replica_trees"]


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


@pytest.fixture(autouse=True)
def close_http_clients(monkeypatch):
    """Close, after each test, every HTTP client made during it: the database clients the tests
    make hold connections that would otherwise be closed only by the garbage collector, as
    "unclosed socket" warnings at some later, unrelated point."""
    made: list[httpx.Client] = []
    make = httpx.Client.__init__

    def init(self, *args, **kwargs):
        make(self, *args, **kwargs)
        made.append(self)

    monkeypatch.setattr(httpx.Client, "__init__", init)
    yield
    for client in made:
        client.close()
