from typing import Any

import structlog.stdlib
import supabase

from norvox.mediator.api_core import (
    DederiMediatorAPI as DederiMediatorAPI
)
from norvox.mediator.mediator_client_exception import (
    MediatorClientException as MediatorClientException
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.supabase import supa_client as supa_client


logger: structlog.stdlib.BoundLogger

supabase_url: str | None

supabase_key: str | None

tessel_role_key: str | None

max_parallel_jobs: int

drift_threshold_seconds: int

mediator_server: str | None

class ClockCorrectionJob:
    """Corrects the clocks of drifted meters, all ESCOs or one."""

    log: structlog.stdlib.BoundLogger
    esco: str | None
    tessel_supabase: supabase.Client

    def __init__(self, esco: str | None = None) -> None: ...

    def run_job(self, meter_drift_record: dict[str, Any]) -> bool:
        """
        Correct one meter's clock and reset its drift row; false when that failed.
        """

    def run(self) -> None:
        """Select the drifted meters and correct them on a thread pool."""

    def _check_environment(self) -> None: ...

def main() -> None:
    """The clock_correction program."""
