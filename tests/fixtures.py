"""Fixtures shared by the fleet job tests; a test file takes one by importing it."""

from __future__ import annotations

import pytest

from sim.mediator import MediatorFleet


@pytest.fixture
def fleet():
    """A simulated mediator fleet with no meters, serving for the test."""
    with MediatorFleet() as fleet:
        yield fleet
