from typing import Any

import structlog.stdlib
import supabase

from norvox.mediator.api_prepay import (
    DederiPrepayAPI as DederiPrepayAPI
)
from norvox.mediator.mediator_client_exception import (
    MediatorClientException as MediatorClientException
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.supabase import (
    as_first_item as as_first_item,
    as_list as as_list,
    supa_client as supa_client
)


SupabaseClient = supabase.Client

logger: structlog.stdlib.BoundLogger

supabase_url: str | None

supabase_key: str | None

tessel_role_key: str | None

mediator_server: str | None

class PrepaySwitchOffJob:
    """Switches prepay mode off on one meter through its mediator."""

    def __init__(self, *, meter: dict[str, Any], mediator_address: str, supabase: supabase.Client) -> None: ...

    def update(self) -> bool:
        """
        Update the prepay_enabled flag on the meter.
        Returns True if successful, False if failed.
        """

    meter: dict[str, Any]
    mediator_address: str
    supabase: SupabaseClient
    dederi_client: DederiPrepayAPI
    log: structlog.stdlib.BoundLogger

class PrepaySwitchOffAllJob:
    """Switches prepay mode off on the prepay-enabled meters of one ESCO."""

    log: structlog.stdlib.BoundLogger
    esco: str | None
    tessel_supabase: supabase.Client

    def __init__(self, esco: str | None = None) -> None: ...

    def run_job(self, meter_row: dict[str, Any]) -> bool:
        """Switch one meter off; true when it was."""

    def run(self) -> None:
        """Find the ESCO, select its prepay-enabled meters and switch them off."""

    def _check_environment(self) -> None: ...

def main() -> None:
    """The prepay_switch_off program."""
