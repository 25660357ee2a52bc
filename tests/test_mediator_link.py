"""The mediator clients against the simulated mediator fleet: every operation over real gRPC,
failures as MediatorClientException named by status code, deadlines, and the fleet's count of
calls in flight."""

import enum
import logging
import math
import pickle
import sys
import threading
import types
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timedelta, timezone
from decimal import Decimal

import grpc
import pytest

from norvox.mediator import api_prepay
from norvox.mediator.api_core import DEFAULT_TIMEOUT_SECONDS, DederiMediatorAPI
from norvox.mediator.api_prepay import DederiPrepayAPI, PricingTable, TariffsActive, TariffsFuture
from norvox.mediator.grpc.generated import mediator_pb2, mediator_pb2_grpc
from norvox.mediator.mediator_client_exception import MediatorClientException
from sim.mediator import MediatorFleet, SimEvent, Tariff

TIMEOUT = 2.0


@pytest.fixture
def fleet():
    with MediatorFleet() as fleet:
        yield fleet


@pytest.fixture
def core(fleet):
    with DederiMediatorAPI(mediator_address=fleet.address, timeout=TIMEOUT) as client:
        yield client


@pytest.fixture
def prepay(fleet):
    with DederiPrepayAPI(mediator_address=fleet.address, timeout=TIMEOUT) as client:
        yield client


@pytest.fixture
def dmp(monkeypatch):
    """The two meter protocol library types the core client builds, as it relies on them."""
    module = types.ModuleType("dmp_frame_protocol")

    class EventRec:
        pass

    class BacklightSettingType(enum.IntEnum):
        always_on = 0
        normal_sp_or_always_off_3p = 1
        timed = 2

    module.DmpEventLogResponse = types.SimpleNamespace(EventRec=EventRec)
    module.DmpMessage = types.SimpleNamespace(BacklightSettingType=BacklightSettingType)
    monkeypatch.setitem(sys.modules, "dmp_frame_protocol", module)
    return module


def later(**delta) -> datetime:
    return datetime.now(timezone.utc) + timedelta(**delta)


# Round trips


@pytest.mark.parametrize(
    "state, client, call, expected, rpc",
    [
        (dict(balance=12.75), "prepay", lambda c: c.prepay_balance("M1"), 12.75, "PrepayBalance"),
        (dict(balance=-3.5), "prepay", lambda c: c.prepay_balance("M1"), -3.5, "PrepayBalance"),
        (dict(csq=17), "core", lambda c: c.csq("M1"), 17, "Csq"),
        (
            dict(element_a={"import_active": 1234.5, "export_active": 6.25}),
            "core",
            lambda c: c.read_element_a("M1"),
            {"import_active": 1234.5, "export_active": 6.25},
            "ReadElementA",
        ),
        (
            dict(element_b={"import_active": 7.0, "export_active": 8.5}),
            "core",
            lambda c: c.read_element_b("M1"),
            {"import_active": 7.0, "export_active": 8.5},
            "ReadElementB",
        ),
        (
            dict(three_phase=True, three_phase_totals={"active_import": 99.5, "active_export": 1.5}),
            "core",
            lambda c: c.three_phase_read("M1", hardware=None),
            {"active_import": 99.5, "active_export": 1.5},
            "ThreePhaseRead",
        ),
        (
            dict(active_tariff=Tariff(Decimal("0.1234"), Decimal("0.50"))),
            "prepay",
            lambda c: c.tariffs_active_read("M1"),
            TariffsActive(PricingTable(unit_rate=Decimal("0.1234"), standing_charge=Decimal("0.50"))),
            "TariffsActiveRead",
        ),
        ({}, "prepay", lambda c: c.tariffs_future_read("M1"), None, "TariffsFutureRead"),
    ],
    ids=[
        "balance",
        "negative-balance",
        "csq",
        "element-a",
        "element-b",
        "three-phase",
        "active-tariff",
        "no-future-tariff",
    ],
)
def test_read_round_trip(fleet, core, prepay, state, client, call, expected, rpc):
    fleet.add_meter("M1", **state)
    result = call(core if client == "core" else prepay)
    assert result == expected
    assert [(c.method, c.serial) for c in fleet.calls] == [(rpc, "M1")]


def test_clock_read_and_write(fleet, core):
    fleet.add_meter("M1", clock_offset=-3600.0)
    meter_clock = core.clock_time_read("M1")
    assert meter_clock.utcoffset() == timedelta(0)
    assert abs((later(hours=-1) - meter_clock).total_seconds()) < 5

    assert core.clock_time_write("M1") is None
    assert fleet.meter("M1").clock_offset == 0.0
    assert abs((datetime.now(timezone.utc) - core.clock_time_read("M1")).total_seconds()) < 5


@pytest.mark.parametrize("enabled", [False, True])
def test_prepay_flag_write(fleet, prepay, enabled):
    fleet.add_meter("M1", prepay_enabled=not enabled)
    assert prepay.prepay_enabled_write("M1", enabled) is None
    assert fleet.meter("M1").prepay_enabled is enabled
    assert fleet.calls[0].request.enabled is enabled


def test_future_tariff_written_exactly_and_read_back(fleet, prepay):
    fleet.add_meter("M1")
    activation = datetime(2031, 4, 1, 0, 30, 0, 123456, tzinfo=timezone(timedelta(hours=2)))
    tariffs = TariffsFuture(
        PricingTable(unit_rate=Decimal("0.10000000000000000555"), standing_charge=Decimal(3)), activation
    )
    assert prepay.tariffs_future_write("M1", tariffs) is True
    stored = fleet.meter("M1").future_tariff
    assert (stored.unit_rate, stored.standing_charge) == (Decimal("0.10000000000000000555"), 3)
    assert str(stored.standing_charge) == "3"
    assert stored.activation_time == activation
    assert prepay.tariffs_future_read("M1") == tariffs


@pytest.mark.parametrize(
    "meter_state, activation",
    [
        (dict(refuses_future_tariffs=True), later(days=30)),
        ({}, later(days=-1)),
        (dict(clock_offset=90 * 86400.0), later(days=30)),
    ],
    ids=["meter-refuses", "activation-past", "activation-before-meter-clock"],
)
def test_future_tariff_refused_leaves_meter_unchanged(fleet, prepay, meter_state, activation):
    fleet.add_meter("M1", **meter_state)
    tariffs = TariffsFuture(PricingTable(Decimal("0.2"), Decimal("0.3")), activation)
    assert prepay.tariffs_future_write("M1", tariffs) is False
    assert fleet.meter("M1").future_tariff is None


def test_event_log_pages_newest_first(fleet, core, dmp):
    fleet.add_meter("M1", events=[SimEvent(timestamp=1000 + i, event_id=i % 4, event_set=i % 2) for i in range(23)])
    pages = [core.event_log("M1", page) for page in range(4)]
    assert [len(page.events) for page in pages] == [10, 10, 3, 0]
    assert all(isinstance(e, dmp.DmpEventLogResponse.EventRec) for e in pages[0].events)
    assert [e.timestamp for e in pages[0].events] == list(range(1022, 1012, -1))
    assert [(e.timestamp, e.event_id, e.event_set) for e in pages[2].events] == [
        (1002, 2, 0),
        (1001, 1, 1),
        (1000, 0, 0),
    ]
    assert [c.request.page for c in fleet.calls] == [0, 1, 2, 3]


@pytest.mark.parametrize("code, expected", [(2, "timed"), (1, "normal_sp_or_always_off_3p"), (57, 57)])
def test_backlight_member_or_unknown_code(fleet, core, dmp, code, expected):
    fleet.add_meter("M1", backlight=code)
    setting = core.backlight("M1")
    if isinstance(expected, str):
        assert setting is dmp.DmpMessage.BacklightSettingType[expected]
    else:
        assert setting == expected and not isinstance(setting, enum.Enum)


# Failures


@pytest.mark.parametrize(
    "code",
    [
        grpc.StatusCode.UNAVAILABLE,
        grpc.StatusCode.DEADLINE_EXCEEDED,
        grpc.StatusCode.INTERNAL,
        grpc.StatusCode.PERMISSION_DENIED,
        grpc.StatusCode.RESOURCE_EXHAUSTED,
    ],
    ids=lambda code: code.name,
)
def test_injected_status_raised_by_name(fleet, core, prepay, code):
    fleet.add_meter("M1")
    fleet.fail("M1", code)
    for call in (lambda: core.clock_time_write("M1"), lambda: prepay.prepay_balance("M1")):
        with pytest.raises(MediatorClientException) as caught:
            call()
        assert caught.value.code_str == code.name
        assert "M1" in str(caught.value) and code.name in str(caught.value)
        assert isinstance(caught.value.__cause__, grpc.RpcError)
    assert fleet.meter("M1").clock_offset == 0.0


def test_fault_by_method_and_cleared(fleet, core):
    fleet.add_meter("M1", clock_offset=40.0, csq=9)
    fleet.fail("M1", "UNAVAILABLE", method="ClockTimeWrite")
    assert core.csq("M1") == 9
    with pytest.raises(MediatorClientException):
        core.clock_time_write("M1")
    assert fleet.meter("M1").clock_offset == 40.0
    fleet.fail("M1", None)
    core.clock_time_write("M1")
    assert fleet.meter("M1").clock_offset == 0.0


@pytest.mark.parametrize(
    "state, call, code_str",
    [
        ({}, lambda c: c.csq("NO-SUCH-METER"), "NOT_FOUND"),
        ({}, lambda c: c.three_phase_read("M1"), "FAILED_PRECONDITION"),
        (dict(three_phase=True), lambda c: c.read_element_a("M1"), "FAILED_PRECONDITION"),
        ({}, lambda c: c.event_log("M1", -1), "INVALID_ARGUMENT"),
    ],
    ids=["unknown-serial", "three-phase-read-of-single-phase", "element-read-of-three-phase", "negative-page"],
)
def test_meter_side_errors(fleet, core, dmp, state, call, code_str):
    fleet.add_meter("M1", **state)
    with pytest.raises(MediatorClientException) as caught:
        call(core)
    assert caught.value.code_str == code_str


def test_malformed_price_refused_by_mediator(fleet):
    fleet.add_meter("M1")
    with grpc.insecure_channel(fleet.address) as channel:
        stub = mediator_pb2_grpc.MediatorStub(channel)
        request = mediator_pb2.TariffsFutureWriteRequest(
            serial="M1",
            tariffs=mediator_pb2.TariffsFuture(
                pricing_table=mediator_pb2.PricingTable(unit_rate="1,5", standing_charge="1")
            ),
        )
        with pytest.raises(grpc.RpcError) as caught:
            stub.TariffsFutureWrite(request, timeout=TIMEOUT)
    assert caught.value.code() == grpc.StatusCode.INVALID_ARGUMENT
    assert fleet.meter("M1").future_tariff is None


def test_no_mediator_listening_is_unavailable():
    with MediatorFleet() as gone:
        address = gone.address
    with DederiMediatorAPI(mediator_address=address, timeout=TIMEOUT) as client:
        with pytest.raises(MediatorClientException) as caught:
            client.clock_time_write("M1")
    assert caught.value.code_str == "UNAVAILABLE"


def test_fault_for_a_method_the_service_lacks_refused(fleet):
    with pytest.raises(ValueError, match="ClockWrite"):
        fleet.fail("M1", "UNAVAILABLE", method="ClockWrite")
    with pytest.raises(ValueError, match="UNAVAILBLE"):
        fleet.fail("M1", "UNAVAILBLE")


def test_exception_keeps_its_code_through_pickling():
    error = pickle.loads(pickle.dumps(MediatorClientException("call failed", "UNAVAILABLE")))
    assert (str(error), error.code_str) == ("call failed", "UNAVAILABLE")


# Deadlines


def test_meter_slower_than_deadline(fleet):
    fleet.add_meter("M1")
    fleet.add_meter("M2", csq=5)
    fleet.latency("M1", 5.0)  # past the deadline; a client without one would get an answer
    fleet.latency("M2", 0.05)
    with DederiMediatorAPI(mediator_address=fleet.address, timeout=0.2) as client:
        with pytest.raises(MediatorClientException) as caught:
            client.csq("M1")
        assert client.csq("M2") == 5
    assert caught.value.code_str == "DEADLINE_EXCEEDED"
    assert fleet.wait_for_in_flight(0)


def test_deadline_from_environment(fleet, monkeypatch):
    monkeypatch.setenv("MEDIATOR_CALL_TIMEOUT_SECONDS", "0.2")
    fleet.add_meter("M1")
    fleet.latency("M1", 5.0)
    client = DederiPrepayAPI(mediator_address=fleet.address)
    assert client.timeout == 0.2
    with pytest.raises(MediatorClientException) as caught:
        client.prepay_balance("M1")
    assert caught.value.code_str == "DEADLINE_EXCEEDED"
    assert fleet.wait_for_in_flight(0)


def test_default_deadline(monkeypatch):
    monkeypatch.delenv("MEDIATOR_CALL_TIMEOUT_SECONDS", raising=False)
    assert DederiMediatorAPI(mediator_address="127.0.0.1:9").timeout == DEFAULT_TIMEOUT_SECONDS
    monkeypatch.setenv("MEDIATOR_CALL_TIMEOUT_SECONDS", "")
    assert DederiPrepayAPI(mediator_address="127.0.0.1:9").timeout == DEFAULT_TIMEOUT_SECONDS


# Bad arguments: refused before anything is sent


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: DederiMediatorAPI(mediator_address=None), TypeError),
        (lambda: DederiMediatorAPI(mediator_address=""), ValueError),
        (lambda: DederiMediatorAPI("127.0.0.1:9"), TypeError),
        (lambda: DederiPrepayAPI(mediator_address=b"127.0.0.1:9"), TypeError),
        (lambda: DederiMediatorAPI(mediator_address="127.0.0.1:9", timeout=0), ValueError),
        (lambda: DederiMediatorAPI(mediator_address="127.0.0.1:9", timeout=math.nan), ValueError),
        (lambda: DederiMediatorAPI(mediator_address="127.0.0.1:9", timeout=math.inf), ValueError),
        (lambda: DederiMediatorAPI(mediator_address="127.0.0.1:9", timeout="1"), TypeError),
        (lambda: DederiMediatorAPI(mediator_address="127.0.0.1:9", timeout=True), TypeError),
        (lambda: DederiPrepayAPI(mediator_address="127.0.0.1:9", logging_level="LOUD"), ValueError),
    ],
    ids=[
        "address-none",
        "address-empty",
        "address-positional",
        "address-bytes",
        "timeout-zero",
        "timeout-nan",
        "timeout-inf",
        "timeout-text",
        "timeout-bool",
        "bad-logging-level",
    ],
)
def test_construction_refused(make, error):
    with pytest.raises(error):
        make()


def test_timeout_variable_not_a_number(monkeypatch):
    monkeypatch.setenv("MEDIATOR_CALL_TIMEOUT_SECONDS", "ten")
    with pytest.raises(ValueError, match="MEDIATOR_CALL_TIMEOUT_SECONDS"):
        DederiMediatorAPI(mediator_address="127.0.0.1:9")


def test_logging_level_sets_client_log_level():
    logger = logging.getLogger(api_prepay.__name__)
    saved = logger.level
    try:
        DederiPrepayAPI(mediator_address="127.0.0.1:9", logging_level="INFO")
        assert logger.level == logging.INFO
    finally:
        logger.setLevel(saved)


def _tariffs(**change):
    fields = dict(unit_rate=Decimal("0.2"), standing_charge=Decimal("0.3"), activation_time=later(days=3))
    fields.update(change)
    return TariffsFuture(PricingTable(fields["unit_rate"], fields["standing_charge"]), fields["activation_time"])


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c, p: c.csq(17), TypeError),
        (lambda c, p: c.clock_time_write(None), TypeError),
        (lambda c, p: c.event_log("M1", "0"), TypeError),
        (lambda c, p: c.event_log("M1", True), TypeError),
        (lambda c, p: p.prepay_enabled_write("M1", 0), TypeError),
        (lambda c, p: p.prepay_enabled_write("M1", "false"), TypeError),
        (lambda c, p: p.tariffs_future_write("M1", {"unit_rate": 1}), TypeError),
        (lambda c, p: p.tariffs_future_write("M1", _tariffs(unit_rate=0.2)), TypeError),
        (lambda c, p: p.tariffs_future_write("M1", _tariffs(standing_charge=True)), TypeError),
        (lambda c, p: p.tariffs_future_write("M1", _tariffs(unit_rate=Decimal("NaN"))), ValueError),
        (lambda c, p: p.tariffs_future_write("M1", _tariffs(activation_time=datetime(2031, 1, 1))), ValueError),
        (lambda c, p: p.tariffs_future_write("M1", _tariffs(activation_time="2031-01-01")), TypeError),
    ],
    ids=[
        "serial-int",
        "serial-none",
        "page-text",
        "page-bool",
        "flag-int",
        "flag-text",
        "tariffs-dict",
        "price-float",
        "price-bool",
        "price-nan",
        "activation-naive",
        "activation-text",
    ],
)
def test_bad_arguments_send_nothing(fleet, core, prepay, dmp, call, error):
    fleet.add_meter("M1")
    with pytest.raises(error):
        call(core, prepay)
    assert fleet.calls == []


# Calls in flight


def test_in_flight_bounded_by_callers_pool(fleet):
    serials = [f"M{i}" for i in range(9)]
    for serial in serials:
        fleet.add_meter(serial, csq=int(serial[1:]))

    def task(serial):
        return DederiMediatorAPI(mediator_address=fleet.address, timeout=TIMEOUT).csq(serial)

    fleet.pause()
    with ThreadPoolExecutor(max_workers=3) as pool:
        results = pool.map(task, serials)
        assert fleet.wait_for_in_flight(3)
        assert fleet.in_flight == 3
        fleet.resume()
        assert list(results) == list(range(9))
    assert (fleet.in_flight, fleet.max_in_flight) == (0, 3)
    assert sorted(c.serial for c in fleet.calls) == serials


def test_in_flight_not_bounded_by_fleet(fleet):
    count = 24
    for i in range(count):
        fleet.add_meter(f"M{i}")
    errors = []

    def call(serial):
        try:
            DederiPrepayAPI(mediator_address=fleet.address, timeout=TIMEOUT).prepay_balance(serial)
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    fleet.pause()
    threads = [threading.Thread(target=call, args=(f"M{i}",)) for i in range(count)]
    for thread in threads:
        thread.start()
    try:
        assert fleet.wait_for_in_flight(count)
    finally:
        fleet.resume()
        for thread in threads:
            thread.join()
    assert errors == []
    assert fleet.max_in_flight == count
    fleet.reset_calls()
    assert (fleet.calls, fleet.max_in_flight) == ([], 0)
