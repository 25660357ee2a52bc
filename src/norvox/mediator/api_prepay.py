"""Stand-in for the mediator client library's prepay client, `DederiPrepayAPI`, and its tariff
records `PricingTable`, `TariffsActive` and `TariffsFuture`.

A real gRPC client of the mediator service (grpc/mediator.proto): the meter's prepay flag, its
live prepay balance, and its active and future tariffs. Every call has a deadline; a failed call
raises `MediatorClientException` whose `code_str` names the gRPC status. Prices travel as
decimal text, so no amount is rounded on the way.
"""

from dataclasses import dataclass
from datetime import datetime
from decimal import Decimal

from ._link import MediatorClientBase, from_unix_micros, to_unix_micros
from .grpc.generated import mediator_pb2

__all__ = ["DederiPrepayAPI", "PricingTable", "TariffsActive", "TariffsFuture"]


@dataclass
class PricingTable:
    """The prices of a tariff: `unit_rate` per kWh and `standing_charge` per day."""

    unit_rate: Decimal
    standing_charge: Decimal


@dataclass
class TariffsActive:
    """The tariff a meter charges now."""

    pricing_table: PricingTable


@dataclass
class TariffsFuture:
    """A tariff a meter will charge from `activation_time` (time-zone-aware) on."""

    pricing_table: PricingTable
    activation_time: datetime


class DederiPrepayAPI(MediatorClientBase):
    """Prepay client of the mediator at `mediator_address` ("host:port").

    `logging_level`, when given, is the level of the client's own log output (the standard
    logger of this module; each call is logged at debug level).
    """

    def __init__(
        self,
        *,
        mediator_address: str,
        logging_level: int | str | None = None,
        timeout: float | None = None,
    ) -> None:
        super().__init__(mediator_address=mediator_address, timeout=timeout)
        if logging_level is not None:
            self._logger.setLevel(logging_level)

    def prepay_enabled_write(self, serial: str, enabled: bool) -> None:
        """Switches the meter's prepay mode on (true) or off (false)."""
        if not isinstance(enabled, bool):
            raise TypeError(f"enabled must be bool, not {type(enabled).__name__}")
        self._call("PrepayEnabledWrite", serial, mediator_pb2.PrepayEnabledWriteRequest, enabled=enabled)

    def prepay_balance(self, serial: str) -> float:
        """The meter's current prepay balance."""
        balance: float = self._call("PrepayBalance", serial).balance
        return balance

    def tariffs_active_read(self, serial: str) -> TariffsActive:
        """The tariff the meter charges now."""
        reply = self._call("TariffsActiveRead", serial)
        return TariffsActive(pricing_table=_pricing_from_wire(reply.pricing_table))

    def tariffs_future_read(self, serial: str) -> TariffsFuture | None:
        """The meter's future tariff, or none when it holds none."""
        reply = self._call("TariffsFutureRead", serial)
        if not reply.HasField("tariffs"):
            return None
        return TariffsFuture(
            pricing_table=_pricing_from_wire(reply.tariffs.pricing_table),
            activation_time=from_unix_micros(reply.tariffs.activation_unix_micros),
        )

    def tariffs_future_write(self, serial: str, tariffs: TariffsFuture) -> bool:
        """Sets the meter's future tariff. True when the meter took it, false when it refused."""
        if not isinstance(tariffs, TariffsFuture):
            raise TypeError(f"tariffs must be TariffsFuture, not {type(tariffs).__name__}")
        pricing = tariffs.pricing_table
        if not isinstance(pricing, PricingTable):
            raise TypeError(f"pricing_table must be PricingTable, not {type(pricing).__name__}")
        wire = mediator_pb2.TariffsFuture(
            pricing_table=mediator_pb2.PricingTable(
                unit_rate=_price_text("unit_rate", pricing.unit_rate),
                standing_charge=_price_text("standing_charge", pricing.standing_charge),
            ),
            activation_unix_micros=to_unix_micros(tariffs.activation_time),
        )
        reply = self._call("TariffsFutureWrite", serial, mediator_pb2.TariffsFutureWriteRequest, tariffs=wire)
        accepted: bool = reply.accepted
        if not accepted:
            self._logger.debug("meter %s refused the future tariff: %s", serial, reply.reason)
        return accepted


def _price_text(name: str, value: Decimal | int) -> str:
    """The exact decimal text of a price given as a `Decimal` or an integer."""
    if isinstance(value, bool) or not isinstance(value, (Decimal, int)):
        raise TypeError(f"{name} must be Decimal or int, not {type(value).__name__}")
    value = Decimal(value)
    if not value.is_finite():
        raise ValueError(f"{name} is not a finite amount: {value}")
    return str(value)


def _pricing_from_wire(pricing: mediator_pb2.PricingTable) -> PricingTable:
    return PricingTable(unit_rate=Decimal(pricing.unit_rate), standing_charge=Decimal(pricing.standing_charge))
