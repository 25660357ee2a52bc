"""Stand-in for the package's meter look-ups over the `meter_registry` table.

Both read the registry row whose `id` is the meter's database id: `is_three_phase_lookup` its
`three_phase` flag, `get_hardware` its `hardware` text. A meter id with no registry row raises
`LookupError`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from supabase import Client

REGISTRY_TABLE = "meter_registry"


def _registry_column(supabase: Client, meter_id: str, column: str) -> Any:
    rows: list[Any] = supabase.table(REGISTRY_TABLE).select(column).eq("id", meter_id).limit(1).execute().data
    if not rows:
        raise LookupError(f"no {REGISTRY_TABLE} row with id {meter_id!r}")
    return rows[0][column]


def is_three_phase_lookup(supabase: Client, meter_id: str) -> bool:
    """True when the registry marks the meter three-phase (a null flag counts as false)."""
    return bool(_registry_column(supabase, meter_id, "three_phase"))


def get_hardware(supabase: Client, meter_id: str) -> str | None:
    """The meter's hardware type text as the registry holds it: text, empty text or None."""
    return cast("str | None", _registry_column(supabase, meter_id, "hardware"))
