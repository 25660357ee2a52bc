"""The meter registry look-ups against the simulated database."""

from __future__ import annotations

import postgrest
import pytest

from norvox.util.meters import get_hardware, is_three_phase_lookup


@pytest.fixture
def registry(database):
    from norvox.util.supabase import supa_client

    rows = [
        {"id": 1, "hardware": "P2.ax", "three_phase": False},
        {"id": 2, "hardware": "T3.ax", "three_phase": True},
        {"id": 3, "hardware": None, "three_phase": None},
        {"id": 4, "hardware": "", "three_phase": True},
    ]
    server = database({"tessel": {"meter_registry": rows}})
    return server, supa_client(server.url, "anon", "role")


@pytest.mark.parametrize(
    "meter_id, three_phase, hardware",
    [("1", False, "P2.ax"), ("2", True, "T3.ax"), ("3", False, None), ("4", True, ""), (2, True, "T3.ax")],
    ids=["single-phase", "three-phase", "nulls", "empty-hardware", "integer-id"],
)
def test_lookups(registry, meter_id, three_phase, hardware):
    _, client = registry
    assert is_three_phase_lookup(client, meter_id) is three_phase
    assert get_hardware(client, meter_id) == hardware


def test_requests_read_one_column_of_one_row(registry):
    server, client = registry
    get_hardware(client, "2")
    (request,) = server.database.requests
    assert request.query == [("select", "hardware"), ("id", "eq.2"), ("limit", "1")]


@pytest.mark.parametrize("lookup", [is_three_phase_lookup, get_hardware])
def test_unknown_meter_and_failed_request(registry, lookup):
    server, client = registry
    with pytest.raises(LookupError, match="no meter_registry row with id '9'"):
        lookup(client, "9")
    server.database.refuse("meter_registry", 500, "registry offline")
    with pytest.raises(postgrest.APIError, match="registry offline"):
        lookup(client, "1")
