"""Stand-in for the single-meter tariff push job, `TariffPushJob`.

Pushes one meter's future tariff to the meter through the prepay mediator client. The tariff is
one row of the database procedure `meters_missing_future_tariffs`, which holds, besides
"meter_id":

- "serial": the meter's serial;
- "unit_rate": the price per kWh, and "standing_charge": the price per day, each a `Decimal`, an
  integer or decimal text;
- "activation_time": when the tariff takes effect, ISO 8601 text (a time without an offset is
  read as UTC) or a date-time.
"""

from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime, timezone
from decimal import Decimal, InvalidOperation
from typing import TYPE_CHECKING, Any

from norvox.mediator.api_prepay import DederiPrepayAPI, PricingTable, TariffsFuture

if TYPE_CHECKING:
    from supabase import Client


class TariffPushJob:
    """Pushes the future tariff of one row to its meter; `supabase` is kept, not used."""

    def __init__(self, *, tariff: Mapping[str, Any], mediator_address: str, supabase: Client) -> None:
        if not isinstance(tariff, Mapping):
            raise TypeError(f"tariff must be a mapping, not {type(tariff).__name__}")
        self.tariff = tariff
        self.mediator_address = mediator_address
        self.supabase = supabase
        self.serial = tariff["serial"]
        self.tariffs_future = TariffsFuture(
            pricing_table=PricingTable(
                unit_rate=_price(tariff, "unit_rate"),
                standing_charge=_price(tariff, "standing_charge"),
            ),
            activation_time=_activation_time(tariff["activation_time"]),
        )

    def update(self) -> bool:
        """Writes the future tariff to the meter. True when the meter took it, false when it
        refused it; a failed mediator call raises `MediatorClientException`."""
        with DederiPrepayAPI(mediator_address=self.mediator_address) as client:
            return client.tariffs_future_write(self.serial, self.tariffs_future)


def _price(row: Mapping[str, Any], key: str) -> Decimal:
    value = row[key]
    if isinstance(value, (Decimal, int)) and not isinstance(value, bool):
        return Decimal(value)
    if isinstance(value, float):
        return Decimal(repr(value))
    if isinstance(value, str):
        try:
            return Decimal(value.strip())
        except InvalidOperation:
            pass
    raise ValueError(f"{key} is not a price: {value!r}")


def _activation_time(value: object) -> datetime:
    if isinstance(value, str):
        value = datetime.fromisoformat(value)
    if not isinstance(value, datetime):
        raise TypeError(f"activation_time must be ISO 8601 text, not {type(value).__name__}")
    if value.utcoffset() is None:
        value = value.replace(tzinfo=timezone.utc)
    return value
