import structlog.stdlib
import supabase

from norvox.jobs.util import (
    handle_supabase_faliure as handle_supabase_faliure
)
from norvox.mediator.api_prepay import (
    DederiPrepayAPI as DederiPrepayAPI
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.supabase import (
    as_list as as_list,
    supa_client as supa_client
)


logger: structlog.stdlib.BoundLogger

supabase_url: str | None

supabase_key: str | None

public_backend_role_key: str | None

tessel_role_key: str | None

fly_region: str | None

mediator_server: str | None

class WalletRefillJob:
    """Finds the meters whose wallet needs a top-up and reports them."""

    log: structlog.stdlib.BoundLogger
    backend_supabase: supabase.Client
    tessel_supabase: supabase.Client
    FLY_REGION: str | None

    def __init__(self) -> None: ...

    def _check_environment(self) -> None: ...

    def run(self) -> None:
        """
        Find all meters where current balance is less than wallet minimum_balance.
        """

def main() -> None:
    """The wallet_refill program."""
