from typing import Any

import structlog.stdlib
import supabase

from norvox.jobs.tariff_push import TariffPushJob as TariffPushJob
from norvox.util.logging import get_logger as get_logger
from norvox.util.supabase import (
    as_first_item as as_first_item,
    as_list as as_list,
    supa_client as supa_client
)


logger: structlog.stdlib.BoundLogger

supabase_url: str | None

supabase_key: str | None

tessel_role_key: str | None

public_backend_role_key: str | None

max_parallel_jobs: int

mediator_server: str | None

class PendingTariffPushJob:
    """Pushes future tariffs to the meters of one ESCO that lack them."""

    log: structlog.stdlib.BoundLogger
    esco: str | None
    tessel_supabase: supabase.Client
    backend_supabase: supabase.Client

    def __init__(self, esco: str | None = None) -> None: ...

    def run_job(self, tariff: dict[str, Any]) -> bool:
        """
        Push one work row to its meter when the meter is active; the push's result, or false.
        """

    def run(self) -> None:
        """
        List the ESCO's meters missing future tariffs and push them on a thread pool.
        """

    def future_tariffs_to_update(self, esco: str) -> list[Any]:
        """
        The ESCO's work rows from meters_missing_future_tariffs, floats made exact; empty when the procedure returned no list.
        """

    def _convert_floats_to_decimal(self, data_list: list[Any]) -> list[Any]:
        """
        A new list whose maps have their float values as Decimal made from the float's text form.
        """

    def _check_environment(self) -> None: ...

def main() -> None:
    """The pending_tariff_push program."""
