"""Stand-in for the sync runner's syncer base, `SyncerBase`, and its result type `UpdatesTuple`.

The sync runner makes one syncer per meter, giving it the database client, the meter's database
id, its serial and the meter's mediator client, calls `fetch_metrics` and writes the columns it
gets back as that meter's columns.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    from supabase import Client

    from norvox.mediator.api_core import DederiMediatorAPI


class UpdatesTuple(NamedTuple):
    """What `fetch_metrics` hands back: the per-meter columns to write (column name to value), or
    None when nothing is to be written; the second value is always None."""

    updates: dict[str, Any] | None
    extra: None


class SyncerBase:
    """One metric of one meter. Subclasses override `fetch_metrics`."""

    def __init__(self, supabase: Client, meter_id: str, serial: str, dederi_client: DederiMediatorAPI) -> None:
        self.supabase = supabase
        self.meter_id = meter_id
        self.serial = serial
        self.dederi_client = dederi_client

    def fetch_metrics(self) -> UpdatesTuple:
        """Read the metric from the meter; the columns for the runner to write."""
        raise NotImplementedError(f"{type(self).__name__} does not fetch any metric")
