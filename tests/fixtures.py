"""Fixtures shared by the fleet job tests; a test file takes one by importing it."""

from __future__ import annotations

import pytest

from sim.mediator import MediatorFleet
from tests.support import start_program


@pytest.fixture
def fleet():
    """A simulated mediator fleet with no meters, serving for the test."""
    with MediatorFleet() as fleet:
        yield fleet


def run_with_calls_held(fleet, name: str, *args: str, env, workers: int) -> str:
    """Run the program `name` while the fleet holds every call at its start: once `workers`
    calls are in flight and no further one arrives, let them go. Checks that the run ended with
    status 0 with no more than `workers` calls in flight at any time; returns its output."""
    fleet.pause()
    job = start_program(name, *args, env=env)
    try:
        assert fleet.wait_for_in_flight(workers, timeout=30)
        assert not fleet.wait_for_in_flight(workers + 1, timeout=0.5)
    finally:
        fleet.resume()
        out, err = job.communicate(timeout=60)
    assert job.returncode == 0, err
    assert fleet.max_in_flight == workers
    return out
