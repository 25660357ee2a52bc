"""The single-meter tariff push and the database-failure helper the fleet jobs call."""

from datetime import datetime, timedelta, timezone
from decimal import Decimal

import pytest

from norvox.jobs.tariff_push import TariffPushJob
from norvox.jobs.util import handle_supabase_faliure
from norvox.mediator.mediator_client_exception import MediatorClientException
from sim.mediator import MediatorFleet

SUPABASE = object()


@pytest.fixture
def fleet():
    with MediatorFleet() as fleet:
        fleet.add_meter("M1")
        yield fleet


def row(**change):
    activation = (datetime.now(timezone.utc) + timedelta(days=10)).isoformat()
    values = {
        "meter_id": 7,
        "serial": "M1",
        "unit_rate": Decimal("0.1"),
        "standing_charge": Decimal("12.0"),
        "activation_time": activation,
    }
    values.update(change)
    return values


def push(fleet, tariff):
    return TariffPushJob(tariff=tariff, mediator_address=fleet.address, supabase=SUPABASE).update()


@pytest.mark.parametrize(
    "prices, unit_rate, standing_charge",
    [
        ({}, "0.1", "12.0"),
        (dict(unit_rate=2, standing_charge=" 0.0450 "), "2", "0.0450"),
        (dict(unit_rate=0.25), "0.25", "12.0"),
    ],
    ids=["decimals", "integer-and-text", "float"],
)
def test_push_writes_exact_prices(fleet, prices, unit_rate, standing_charge):
    assert push(fleet, row(**prices)) is True
    stored = fleet.meter("M1").future_tariff
    assert (str(stored.unit_rate), str(stored.standing_charge)) == (unit_rate, standing_charge)
    assert [(c.method, c.serial) for c in fleet.calls] == [("TariffsFutureWrite", "M1")]


def test_activation_time_without_offset_is_utc(fleet):
    assert push(fleet, row(activation_time="2040-06-01T08:00:00")) is True
    assert fleet.meter("M1").future_tariff.activation_time == datetime(2040, 6, 1, 8, tzinfo=timezone.utc)


@pytest.mark.parametrize(
    "meter_state, change",
    [(dict(refuses_future_tariffs=True), {}), ({}, dict(activation_time="2001-01-01T00:00:00+00:00"))],
    ids=["meter-refuses", "activation-past"],
)
def test_refused_push_is_false(fleet, meter_state, change):
    for name, value in meter_state.items():
        setattr(fleet.meter("M1"), name, value)
    assert push(fleet, row(**change)) is False
    assert fleet.meter("M1").future_tariff is None


@pytest.mark.parametrize("code", ["UNAVAILABLE", "DEADLINE_EXCEEDED"])
def test_mediator_failure_raises(fleet, code):
    fleet.fail("M1", code)
    with pytest.raises(MediatorClientException) as caught:
        push(fleet, row())
    assert caught.value.code_str == code


def test_unknown_meter_raises(fleet):
    with pytest.raises(MediatorClientException) as caught:
        push(fleet, row(serial="M2"))
    assert caught.value.code_str == "NOT_FOUND"


@pytest.mark.parametrize(
    "tariff, error",
    [
        ([("serial", "M1")], TypeError),
        ({k: v for k, v in row().items() if k != "unit_rate"}, KeyError),
        ({k: v for k, v in row().items() if k != "serial"}, KeyError),
        (row(unit_rate="cheap"), ValueError),
        (row(standing_charge=None), ValueError),
        (row(standing_charge=True), ValueError),
        (row(activation_time="soon"), ValueError),
        (row(activation_time=None), TypeError),
    ],
    ids=[
        "not-a-mapping",
        "no-unit-rate",
        "no-serial",
        "price-text",
        "price-none",
        "price-bool",
        "activation-text",
        "activation-none",
    ],
)
def test_bad_row_refused_before_any_call(fleet, tariff, error):
    with pytest.raises(error):
        push(fleet, tariff)
    assert fleet.calls == []


def test_handle_supabase_failure_logs_one_error():
    events = []

    class Log:
        def error(self, event, **fields):
            events.append((event, fields))

    failure = ConnectionRefusedError("connection refused")
    handle_supabase_faliure(Log(), failure)
    assert events == [("Could not reach the database service", {"error": failure})]
