from typing import Any

import postgrest
import supabase


SCHEMA_NAME: str = 'tessel'

Client = supabase.Client

def supa_client(supabase_url: str, supabase_key: str, role_key: str | None = None, schema: str | None = None) -> supabase.Client:
    """
    A new database client: the given schema (default "tessel"), no token refresh, and the role key, when given, as the bearer token of every request. A key that an HTTP header cannot carry (white space at either end, a control character, a character outside ASCII) raises ValueError naming which key, never its text.
    """

def as_list(result: postgrest.APIResponse) -> list[Any] | None:
    """The rows of a query response: its data, unchanged."""

def as_first_item(result: postgrest.APIResponse) -> dict[str, Any] | None:
    """The first row of a query response."""
