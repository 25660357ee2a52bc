"""Stand-in for the fleet jobs' shared helper module: `handle_supabase_faliure`."""

from __future__ import annotations

from typing import Any, Protocol


class ErrorLogger(Protocol):
    """What the helper needs of a logger: structlog's error method (event text, named fields)."""

    def error(self, event: str, **fields: Any) -> Any: ...


def handle_supabase_faliure(log: ErrorLogger, error: Exception) -> None:
    """Logs, through the structured logger `log`, one error event saying that the database
    service could not be reached, with the error."""
    log.error("Could not reach the database service", error=error)
