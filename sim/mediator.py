"""Simulated mediator fleet: a gRPC server on 127.0.0.1 (ephemeral port) that implements the
mediator service of norvox/mediator/grpc/mediator.proto over meters held in memory.

    with MediatorFleet() as fleet:
        fleet.add_meter("SER1", clock_offset=-45.0, balance=3.5)
        fleet.fail("SER2", "UNAVAILABLE")            # every call for SER2 aborts with UNAVAILABLE
        fleet.latency("SER3", math.inf)              # SER3 answers only after the caller's deadline
        DederiMediatorAPI(mediator_address=fleet.address).clock_time_write("SER1")
        fleet.meter("SER1").clock_offset             # 0.0
        fleet.max_in_flight, fleet.calls             # 1, [Call("ClockTimeWrite", "SER1", ...)]

Every call is counted while it runs (`in_flight`, `max_in_flight`) and recorded (`calls`), so
tests can see how many calls a job ran at once without measuring time; `pause` holds every call
at its start until `resume`, and `wait_for_in_flight` waits until a number of calls are held.
"""

import functools
import math
import threading
import time
from concurrent import futures
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from decimal import Decimal, InvalidOperation
from typing import NamedTuple

import grpc

from norvox.mediator.grpc.generated import mediator_pb2 as pb
from norvox.mediator.grpc.generated import mediator_pb2_grpc

EVENT_LOG_PAGE_SIZE = 10
_METHODS = frozenset(pb.DESCRIPTOR.services_by_name["Mediator"].methods_by_name)
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


class SimEvent(NamedTuple):
    """One entry of a meter's event log; `timestamp` in the meter protocol's epoch seconds."""

    timestamp: int
    event_id: int
    event_set: int = 0


@dataclass
class Tariff:
    """A tariff held by a simulated meter; `activation_time` only for a future tariff."""

    unit_rate: Decimal
    standing_charge: Decimal
    activation_time: datetime | None = None


def _default_tariff() -> Tariff:
    return Tariff(unit_rate=Decimal("0.25"), standing_charge=Decimal("0.40"))


@dataclass
class SimMeter:
    """The state of one simulated meter. Calls change it under the fleet's lock."""

    serial: str
    clock_offset: float = 0.0  # seconds the meter clock runs ahead of real time (negative: behind)
    prepay_enabled: bool = False
    balance: float = 0.0
    active_tariff: Tariff = field(default_factory=_default_tariff)
    future_tariff: Tariff | None = None
    refuses_future_tariffs: bool = False
    three_phase: bool = False
    element_a: dict = field(default_factory=lambda: {"import_active": 0.0, "export_active": 0.0})
    element_b: dict = field(default_factory=lambda: {"import_active": 0.0, "export_active": 0.0})
    three_phase_totals: dict = field(default_factory=lambda: {"active_import": 0.0, "active_export": 0.0})
    backlight: int = 0
    csq: int = 20
    events: list = field(default_factory=list)  # SimEvent or (timestamp, event_id, event_set)

    def clock(self) -> datetime:
        """The meter clock now."""
        return datetime.now(timezone.utc) + timedelta(seconds=self.clock_offset)


class Call(NamedTuple):
    """One call the fleet received: the RPC's name, the meter serial, `time.monotonic()` at its
    start and the request message."""

    method: str
    serial: str
    time: float
    request: object


class _Fault(NamedTuple):
    code: grpc.StatusCode
    details: str


def _status_code(code) -> grpc.StatusCode:
    if isinstance(code, grpc.StatusCode):
        return code
    try:
        return grpc.StatusCode[code]
    except KeyError:
        raise ValueError(f"no gRPC status code named {code!r}") from None


def _micros(moment: datetime) -> int:
    return (moment - _EPOCH) // timedelta(microseconds=1)


def _price(context, text: str) -> Decimal:
    try:
        value = Decimal(text)
    except InvalidOperation:
        value = None
    if value is None or not value.is_finite():
        context.abort(grpc.StatusCode.INVALID_ARGUMENT, f"not a decimal amount: {text!r}")
    return value


def _rpc(operation):
    """Makes `operation(servicer, meter, request, context)` the handler of the RPC of its name:
    the fleet counts and records the call, applies pause, latency and faults, finds the meter and
    then runs the operation under its lock."""

    @functools.wraps(operation)
    def handler(self, request, context):
        return self._fleet._serve(operation.__name__, request, context, functools.partial(operation, self))

    return handler


def _require_phase(context, meter: SimMeter, three_phase: bool) -> None:
    if meter.three_phase != three_phase:
        kind = "three-phase" if meter.three_phase else "single-phase"
        context.abort(grpc.StatusCode.FAILED_PRECONDITION, f"meter {meter.serial} is {kind}")


class _MediatorServicer(mediator_pb2_grpc.MediatorServicer):
    def __init__(self, fleet: "MediatorFleet") -> None:
        self._fleet = fleet

    @_rpc
    def ClockTimeWrite(self, meter, request, context):
        meter.clock_offset = 0.0
        return pb.Ack()

    @_rpc
    def ClockTimeRead(self, meter, request, context):
        return pb.ClockTimeReadReply(unix_micros=_micros(meter.clock()))

    @_rpc
    def PrepayEnabledWrite(self, meter, request, context):
        meter.prepay_enabled = request.enabled
        return pb.Ack()

    @_rpc
    def PrepayBalance(self, meter, request, context):
        return pb.PrepayBalanceReply(balance=meter.balance)

    @_rpc
    def TariffsActiveRead(self, meter, request, context):
        return pb.TariffsActiveReadReply(pricing_table=_wire_pricing(meter.active_tariff))

    @_rpc
    def TariffsFutureRead(self, meter, request, context):
        tariff = meter.future_tariff
        if tariff is None:
            return pb.TariffsFutureReadReply()
        return pb.TariffsFutureReadReply(
            tariffs=pb.TariffsFuture(
                pricing_table=_wire_pricing(tariff),
                activation_unix_micros=_micros(tariff.activation_time),
            )
        )

    @_rpc
    def TariffsFutureWrite(self, meter, request, context):
        if not request.HasField("tariffs") or not request.tariffs.HasField("pricing_table"):
            context.abort(grpc.StatusCode.INVALID_ARGUMENT, "no future tariff in the request")
        pricing = request.tariffs.pricing_table
        tariff = Tariff(
            unit_rate=_price(context, pricing.unit_rate),
            standing_charge=_price(context, pricing.standing_charge),
            activation_time=_EPOCH + timedelta(microseconds=request.tariffs.activation_unix_micros),
        )
        if meter.refuses_future_tariffs:
            return pb.TariffsFutureWriteReply(accepted=False, reason="meter refused the tariff")
        if tariff.activation_time <= meter.clock():
            return pb.TariffsFutureWriteReply(accepted=False, reason="activation time is not after the meter clock")
        meter.future_tariff = tariff
        return pb.TariffsFutureWriteReply(accepted=True)

    @_rpc
    def EventLog(self, meter, request, context):
        if request.page < 0:
            context.abort(grpc.StatusCode.INVALID_ARGUMENT, f"negative page {request.page}")
        newest_first = sorted(
            (SimEvent(*event) for event in meter.events), key=lambda event: event.timestamp, reverse=True
        )
        start = request.page * EVENT_LOG_PAGE_SIZE
        page = newest_first[start : start + EVENT_LOG_PAGE_SIZE]
        return pb.EventLogReply(events=[pb.Event(**event._asdict()) for event in page])

    @_rpc
    def ThreePhaseRead(self, meter, request, context):
        _require_phase(context, meter, True)
        return pb.ThreePhaseReadReply(**meter.three_phase_totals)

    @_rpc
    def ReadElementA(self, meter, request, context):
        _require_phase(context, meter, False)
        return pb.ElementReadReply(**meter.element_a)

    @_rpc
    def ReadElementB(self, meter, request, context):
        _require_phase(context, meter, False)
        return pb.ElementReadReply(**meter.element_b)

    @_rpc
    def Backlight(self, meter, request, context):
        return pb.BacklightReply(setting=meter.backlight)

    @_rpc
    def Csq(self, meter, request, context):
        return pb.CsqReply(csq=meter.csq)


def _wire_pricing(tariff: Tariff):
    return pb.PricingTable(unit_rate=str(tariff.unit_rate), standing_charge=str(tariff.standing_charge))


class MediatorFleet:
    """A mediator serving simulated meters, on 127.0.0.1 at an ephemeral port.

    Use it as a context manager, or `start()` and `stop()`. `address` is "127.0.0.1:PORT", the
    text a mediator client takes as `mediator_address`. Calls for a serial no meter has end with
    NOT_FOUND. `default_latency` (seconds) delays every call whose serial has no latency of its
    own.
    """

    def __init__(self, *, default_latency: float = 0.0, max_workers: int = 64) -> None:
        self.default_latency = default_latency
        self._max_workers = max_workers
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._meters: dict[str, SimMeter] = {}
        self._latency: dict[str, float] = {}
        self._faults: dict[tuple[str, str | None], _Fault] = {}
        self._calls: list[Call] = []
        self._in_flight = 0
        self._max_in_flight = 0
        self._open = threading.Event()
        self._open.set()
        self._server = None
        self._executor = None
        self.port = None

    # Life cycle

    def start(self) -> "MediatorFleet":
        if self._server is not None:
            raise RuntimeError("the fleet is already serving")
        self._executor = futures.ThreadPoolExecutor(max_workers=self._max_workers, thread_name_prefix="sim-mediator")
        server = grpc.server(self._executor)
        mediator_pb2_grpc.add_MediatorServicer_to_server(_MediatorServicer(self), server)
        self.port = server.add_insecure_port("127.0.0.1:0")
        server.start()
        self._server = server
        return self

    def stop(self) -> None:
        """Stops serving; calls still running are ended."""
        if self._server is None:
            return
        self._server.stop(grace=None).wait()
        self._executor.shutdown(wait=True)
        self._server = None

    def __enter__(self) -> "MediatorFleet":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def address(self) -> str:
        if self.port is None:
            raise RuntimeError("the fleet has not been started")
        return f"127.0.0.1:{self.port}"

    # Meters

    def add_meter(self, serial: str, **state) -> SimMeter:
        """Adds a meter; `state` sets any field of `SimMeter`. Returns its live state."""
        if not isinstance(serial, str):
            raise TypeError(f"serial must be str, not {type(serial).__name__}")
        meter = SimMeter(serial=serial, **state)
        with self._lock:
            if serial in self._meters:
                raise ValueError(f"meter {serial} already exists")
            self._meters[serial] = meter
        return meter

    def meter(self, serial: str) -> SimMeter:
        """The live state of a meter (KeyError for an unknown serial)."""
        with self._lock:
            return self._meters[serial]

    @property
    def meters(self) -> list[SimMeter]:
        with self._lock:
            return list(self._meters.values())

    # Injection

    def fail(self, serial: str, code, details: str | None = None, *, method: str | None = None) -> None:
        """Makes calls for `serial` (only those of the RPC `method`, when given) end with the
        gRPC status `code` (a `grpc.StatusCode` or its name, such as "UNAVAILABLE" or
        "DEADLINE_EXCEEDED"). `code` none clears the faults of that serial and method (of every
        method when `method` is none)."""
        if method is not None and method not in _METHODS:
            raise ValueError(f"the mediator service has no RPC {method!r}")
        with self._lock:
            if code is None:
                for key in [key for key in self._faults if key[0] == serial and method in (None, key[1])]:
                    del self._faults[key]
                return
            code = _status_code(code)
            text = details or f"simulated {code.name} for meter {serial}"
            self._faults[(serial, method)] = _Fault(code, text)

    def latency(self, serial: str, seconds: float | None) -> None:
        """Delays each call for `serial` by `seconds` before it is answered (none: back to
        `default_latency`). A latency beyond the caller's deadline (`math.inf`, say) makes the
        caller see DEADLINE_EXCEEDED; the call then ends on the fleet at that deadline (it stays
        in flight until the fleet has seen the deadline pass: use `wait_for_in_flight(0)`)."""
        with self._lock:
            if seconds is None:
                self._latency.pop(serial, None)
            elif seconds < 0:
                raise ValueError(f"negative latency {seconds}")
            else:
                self._latency[serial] = seconds

    def pause(self) -> None:
        """Holds every call at its start (counted in flight) until `resume`."""
        self._open.clear()

    def resume(self) -> None:
        self._open.set()

    # Observation

    @property
    def in_flight(self) -> int:
        """Calls started and not yet answered."""
        with self._lock:
            return self._in_flight

    @property
    def max_in_flight(self) -> int:
        """The most calls in flight at once since the start or `reset_calls`."""
        with self._lock:
            return self._max_in_flight

    @property
    def calls(self) -> list[Call]:
        """Every call received since the start or `reset_calls`, in order of arrival."""
        with self._lock:
            return list(self._calls)

    def reset_calls(self) -> None:
        with self._lock:
            self._calls.clear()
            self._max_in_flight = self._in_flight

    def wait_for_in_flight(self, count: int, timeout: float = 5.0) -> bool:
        """Waits until exactly `count` calls are in flight; false when `timeout` passes first."""
        with self._changed:
            return self._changed.wait_for(lambda: self._in_flight == count, timeout)

    # Serving

    def _serve(self, method, request, context, operation):
        serial = request.serial
        with self._changed:
            self._calls.append(Call(method, serial, time.monotonic(), request))
            self._in_flight += 1
            self._max_in_flight = max(self._max_in_flight, self._in_flight)
            self._changed.notify_all()
        # Set when the call ends on the fleet's side: answered, past its deadline, cancelled by the
        # caller, or ended by `stop`.
        ended = threading.Event()
        if not context.add_callback(ended.set):
            ended.set()
        try:
            while not self._open.wait(0.02):
                self._check_alive(ended, context)
            with self._lock:
                delay = self._latency.get(serial, self.default_latency)
                fault = self._faults.get((serial, method)) or self._faults.get((serial, None))
            if delay > 0:
                ended.wait(None if math.isinf(delay) else delay)
            self._check_alive(ended, context)
            if fault is not None:
                context.abort(fault.code, fault.details)
            with self._lock:
                meter = self._meters.get(serial)
                if meter is None:
                    context.abort(grpc.StatusCode.NOT_FOUND, f"no meter with serial {serial!r}")
                return operation(meter, request, context)
        finally:
            with self._changed:
                self._in_flight -= 1
                self._changed.notify_all()

    def _check_alive(self, ended: threading.Event, context) -> None:
        if ended.is_set():
            # Nobody waits for the answer any more.
            context.abort(grpc.StatusCode.CANCELLED, "the call ended before the meter answered")
