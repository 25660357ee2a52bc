"""Simulated database service: the PostgREST subset that norvox's modules use, over HTTP.

Tables live in memory, per schema, as lists of row dicts handed over by the test. Embedded
resources follow declared relations (see `Relation`); filters, embedding and `!inner` follow
PostgREST's rules, and comparisons follow SQL's: a null column passes no comparison.
Inserts and upserts honour the declared unique keys (`FLEET_UNIQUE_KEYS`) with PostgreSQL's
errors, and columns declared `timestamptz` (`FLEET_COLUMN_TYPES`) are stored as PostgreSQL
returns them (UTC, "+00:00") and compared and ordered as instants.
Every request is recorded for assertions.
"""

from __future__ import annotations

import copy
import json
import re
import socket
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import datetime, timezone
from http.server import BaseHTTPRequestHandler
from typing import Any
from urllib.parse import parse_qsl, unquote, urlsplit

from sim.server import LocalHTTPServer, read_body


@dataclass(frozen=True)
class Relation:
    """How `embed` is reached from `table`: the rows of `target` whose `remote` column equals
    the row's `local` column. `many=False` (a reference to one row) embeds a row or null;
    `many=True` embeds a list."""

    table: str
    embed: str
    target: str
    local: str
    remote: str
    many: bool = False


# The relations of the fleet's schemas as the jobs use them.
FLEET_RELATIONS = (
    Relation("meter_shadows", "meter_registry", "meter_registry", "meter", "id"),
    Relation("meter_registry", "escos", "escos", "esco", "id"),
    Relation("meters", "wallets", "wallets", "wallet", "id"),
)

# Unique keys per table, the first one standing for the primary key (an upsert without
# on_conflict resolves on it). Null never conflicts, as in SQL.
FLEET_UNIQUE_KEYS: dict[str, tuple[tuple[str, ...], ...]] = {
    "meter_event_log": (("meter_id", "timestamp", "event_type"),),
}

# Column types the database treats specially; every other column holds JSON values as given.
FLEET_COLUMN_TYPES: dict[str, dict[str, str]] = {
    "meter_event_log": {"timestamp": "timestamptz"},
}


@dataclass
class Request:
    method: str
    path: str
    query: list[tuple[str, str]]
    headers: dict[str, str]
    body: Any

    def param(self, name: str) -> str | None:
        for key, value in self.query:
            if key == name:
                return value
        return None


class ApiError(Exception):
    def __init__(self, status: int, code: str, message: str, details: str | None = None, hint: str | None = None):
        super().__init__(message)
        self.status = status
        self.body = {"code": code, "details": details, "hint": hint, "message": message}


RESERVED = {"select", "order", "limit", "offset", "on_conflict", "columns"}


# --- select text ----------------------------------------------------------------------------


@dataclass
class Selection:
    columns: list[str] = field(default_factory=list)  # "*" for all
    embeds: list[tuple[str, bool, Selection]] = field(default_factory=list)  # name, inner, sub


def _split_top(text: str) -> list[str]:
    items, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth < 0:
                raise ApiError(400, "PGRST100", f'"failed to parse select parameter ({text})"')
        elif ch == "," and depth == 0:
            items.append(text[start:i])
            start = i + 1
    if depth != 0:
        raise ApiError(400, "PGRST100", f'"failed to parse select parameter ({text})"')
    items.append(text[start:])
    return [item for item in items if item != ""]


def parse_select(text: str | None) -> Selection:
    sel = Selection()
    if text is None:
        sel.columns.append("*")
        return sel
    text = re.sub(r"\s+", "", text)
    for item in _split_top(text):
        m = re.fullmatch(r"(\w+)(!inner|!left)?\((.*)\)", item)
        if m:
            sel.embeds.append((m.group(1), m.group(2) == "!inner", parse_select(m.group(3))))
        elif item == "*" or re.fullmatch(r"\w+", item):
            sel.columns.append(item)
        else:
            raise ApiError(400, "PGRST100", f'"failed to parse select parameter ({text})"')
    return sel


# --- typed columns --------------------------------------------------------------------------


def parse_timestamptz(value: Any) -> datetime:
    """The instant of a timestamptz input (ISO 8601 text; without an offset it is read as UTC,
    the session time zone)."""
    if not isinstance(value, str):
        raise ApiError(400, "22007", f'invalid input syntax for type timestamp with time zone: "{value}"')
    try:
        moment = datetime.fromisoformat(value.strip())
    except ValueError:
        raise ApiError(400, "22007", f'invalid input syntax for type timestamp with time zone: "{value}"') from None
    if moment.utcoffset() is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.astimezone(timezone.utc)


def render_timestamptz(moment: datetime) -> str:
    """A UTC instant as PostgreSQL's JSON output gives it: "+00:00", fraction without trailing
    zeros."""
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if moment.microsecond:
        text += f".{moment.microsecond:06d}".rstrip("0")
    return text + "+00:00"


def store_value(kind: str | None, value: Any) -> Any:
    """A written value as the column stores it."""
    if kind == "timestamptz" and value is not None:
        return render_timestamptz(parse_timestamptz(value))
    return value


def compare_value(kind: str | None, value: Any) -> Any:
    """A stored value as the column compares and orders it."""
    if kind == "timestamptz" and value is not None:
        return parse_timestamptz(value)
    return value


# --- filters --------------------------------------------------------------------------------

_TRUE = {"true", "t", "yes", "y", "on", "1"}
_FALSE = {"false", "f", "no", "n", "off", "0"}


def _coerce(value: Any, text: str) -> Any:
    """The filter text read as the column value's type, as PostgreSQL casts a literal."""
    if isinstance(value, bool):
        low = text.strip().lower()
        if low in _TRUE:
            return True
        if low in _FALSE:
            return False
        raise ApiError(400, "22P02", f'invalid input syntax for type boolean: "{text}"')
    if isinstance(value, (int, float)):
        try:
            return float(text)
        except ValueError:
            raise ApiError(400, "22P02", f'invalid input syntax for type numeric: "{text}"') from None
    return text


def like_regex(pattern: str) -> re.Pattern:
    """An ILIKE pattern (`%` any run, `_` any one character, backslash escapes) as a
    case-insensitive regex."""
    out, i = [], 0
    while i < len(pattern):
        ch = pattern[i]
        if ch == "\\" and i + 1 < len(pattern):
            out.append(re.escape(pattern[i + 1]))
            i += 2
            continue
        out.append(".*" if ch == "%" else "." if ch == "_" else re.escape(ch))
        i += 1
    return re.compile("".join(out), re.DOTALL | re.IGNORECASE)


def _test(op: str, value: Any, text: str, kind: str | None = None) -> bool:
    if value is None:  # SQL: a comparison with null is unknown, so the row does not pass
        return False
    if kind == "timestamptz" and op != "ilike":
        value, other = compare_value(kind, value), parse_timestamptz(text)
    elif op == "ilike":
        if not isinstance(value, str):
            raise ApiError(404, "42883", f"operator does not exist: {type(value).__name__} ~~* unknown")
        # PostgREST reads "*" as "%" before PostgreSQL sees the pattern.
        return like_regex(text.replace("*", "%")).fullmatch(value) is not None
    else:
        other = _coerce(value, text)
    try:
        return {
            "eq": lambda: value == other,
            "neq": lambda: value != other,
            "gt": lambda: value > other,
        }[op]()
    except KeyError:
        raise ApiError(400, "PGRST100", f'"failed to parse filter ({op}.{text})"') from None


@dataclass
class Filter:
    path: tuple[str, ...]  # embedded tables on the way to the column
    column: str
    op: str
    negate: bool
    text: str

    def passes(self, row: dict, types: dict[str, str] | None = None) -> bool:
        if self.column not in row:
            raise ApiError(400, "42703", f"column {self.column} does not exist")
        value = row[self.column]
        result = _test(self.op, value, self.text, (types or {}).get(self.column))
        if value is None and self.op != "is":
            return False  # unknown stays unknown under NOT: the row does not pass
        return (not result) if self.negate else result


def parse_order(text: str | None) -> list[tuple[str, bool, bool]]:
    """The `order` parameter: (column, descending, nulls first) per term, PostgreSQL's default
    being nulls last ascending and nulls first descending."""
    if text is None:
        return []
    terms = []
    for term in text.split(","):
        column, *modifiers = term.split(".")
        if not re.fullmatch(r"\w+", column) or len(modifiers) > 2:
            raise ApiError(400, "PGRST100", f'"failed to parse order ({text})"')
        desc, nulls_first = False, None
        for modifier in modifiers:
            if modifier in ("asc", "desc"):
                desc = modifier == "desc"
            elif modifier in ("nullsfirst", "nullslast"):
                nulls_first = modifier == "nullsfirst"
            else:
                raise ApiError(400, "PGRST100", f'"failed to parse order ({text})"')
        terms.append((column, desc, desc if nulls_first is None else nulls_first))
    return terms


def parse_count(name: str, text: str | None) -> int | None:
    if text is None:
        return None
    if not text.isdigit():
        raise ApiError(400, "PGRST100", f'"failed to parse {name} parameter ({text})"')
    return int(text)


def parse_prefer(headers: dict[str, str]) -> dict[str, str]:
    """The `Prefer` header's preferences, name to value."""
    prefs = {}
    for item in headers.get("prefer", "").split(","):
        name, _, value = item.strip().partition("=")
        if name:
            prefs[name] = value
    return prefs


def parse_filters(query: list[tuple[str, str]]) -> list[Filter]:
    filters = []
    for key, value in query:
        if key in RESERVED:
            continue
        *path, column = key.split(".")
        negate = value.startswith("not.")
        if negate:
            value = value[4:]
        op, sep, text = value.partition(".")
        if not sep:
            raise ApiError(400, "PGRST100", f'"failed to parse filter ({value})"')
        filters.append(Filter(tuple(path), column, op, negate, text))
    return filters


# --- the database ---------------------------------------------------------------------------


class Database:
    """In-memory tables per schema, served over HTTP by `DatabaseServer`."""

    def __init__(
        self,
        schemas: dict[str, dict[str, list[dict]]],
        relations: tuple[Relation, ...] = FLEET_RELATIONS,
        functions: dict[str, Callable[[dict], Any] | Any] | None = None,
        keys: set[str] | None = None,
        unique_keys: dict[str, tuple[tuple[str, ...], ...]] = FLEET_UNIQUE_KEYS,
        column_types: dict[str, dict[str, str]] = FLEET_COLUMN_TYPES,
    ):
        self.unique_keys = {table: tuple(tuple(key) for key in table_keys) for table, table_keys in unique_keys.items()}
        self.column_types = {table: dict(types) for table, types in column_types.items()}
        self.schemas = copy.deepcopy(schemas)
        for tables in self.schemas.values():
            for name, rows in tables.items():
                tables[name] = [self._stored(name, row) for row in rows]
                self._check_unique(name, tables[name])
        self.relations = {(r.table, r.embed): r for r in relations}
        self.functions = dict(functions or {})
        self.keys = keys  # accepted bearer tokens; None accepts any
        # table or "rpc/<fn>" -> status, message, and which of its requests (None: all)
        self.refusals: dict[str, tuple[int, str, Callable[[Request], bool] | None]] = {}
        self.requests: list[Request] = []
        self.lock = threading.Lock()

    # Test helpers
    def table(self, name: str, schema: str = "tessel") -> list[dict]:
        with self.lock:
            return copy.deepcopy(self.schemas[schema][name])

    def refuse(
        self,
        target: str,
        status: int = 400,
        message: str = "refused by test",
        when: Callable[[Request], bool] | None = None,
    ) -> None:
        """Answer every request on a table (or "rpc/<name>", "rpc/*") with an error, or only
        the requests for which `when(request)` is true. Use a status other than 503 and 520
        for GET requests, which the client retries with waits."""
        self.refusals[target] = (status, message, when)

    # Query evaluation
    def _rows(self, schema: str, name: str) -> list[dict]:
        tables = self.schemas.get(schema)
        if tables is None:
            raise ApiError(406, "PGRST106", "The schema must be one of the following: " + ", ".join(self.schemas))
        if name not in tables:
            raise ApiError(404, "PGRST205", f"Could not find the table '{schema}.{name}' in the schema cache")
        return tables[name]

    def _shape(
        self, schema: str, table: str, row: dict, sel: Selection, filters: list[Filter], depth: int
    ) -> dict | None:
        """The row as the selection shows it, or None when an inner embed drops it."""
        out: dict = {}
        for col in sel.columns:
            if col == "*":
                out.update(row)
            elif col in row:
                out[col] = row[col]
            else:
                raise ApiError(400, "42703", f"column {table}.{col} does not exist")
        for name, inner, sub in sel.embeds:
            rel = self.relations.get((table, name))
            if rel is None:
                raise ApiError(
                    400, "PGRST200", f"Could not find a relationship between '{table}' and '{name}' in the schema cache"
                )
            mine = [f for f in filters if len(f.path) > depth and f.path[depth] == name]
            here = [f for f in mine if len(f.path) == depth + 1]
            matches = []
            key = row.get(rel.local)
            for target in self._rows(schema, rel.target):
                if key is None or target.get(rel.remote) != key:
                    continue
                if not all(f.passes(target, self.column_types.get(rel.target)) for f in here):
                    continue
                shaped = self._shape(schema, rel.target, target, sub, mine, depth + 1)
                if shaped is not None:
                    matches.append(shaped)
            if inner and not matches:
                return None
            out[name] = matches if rel.many else (matches[0] if matches else None)
        return out

    def select(self, schema: str, table: str, query: list[tuple[str, str]]) -> list[dict]:
        params = dict(query)
        sel = parse_select(params.get("select"))
        filters = parse_filters(query)
        order = parse_order(params.get("order"))
        limit = parse_count("limit", params.get("limit"))
        offset = parse_count("offset", params.get("offset")) or 0
        types = self.column_types.get(table, {})
        top = [f for f in filters if not f.path]
        rows = [row for row in self._rows(schema, table) if all(f.passes(row, types) for f in top)]
        for column, desc, nulls_first in reversed(order):  # stable sorts, last term first
            if any(column not in row for row in rows):
                raise ApiError(400, "42703", f"column {table}.{column} does not exist")
            present = [row for row in rows if row[column] is not None]
            absent = [row for row in rows if row[column] is None]
            present.sort(key=lambda row: compare_value(types.get(column), row[column]), reverse=desc)
            rows = absent + present if nulls_first else present + absent
        result = []
        for row in rows:
            shaped = self._shape(schema, table, row, sel, filters, 0)
            if shaped is not None:
                result.append(shaped)
        end = None if limit is None else offset + limit
        return result[offset:end]

    def update(self, schema: str, table: str, query: list[tuple[str, str]], body: dict) -> list[dict]:
        if not isinstance(body, dict):
            raise ApiError(400, "PGRST102", "Empty or invalid json")
        filters = parse_filters(query)
        if any(f.path for f in filters):
            raise ApiError(400, "PGRST100", "filters on embedded resources are not allowed here")
        rows = self._rows(schema, table)
        types = self.column_types.get(table, {})
        updated, changed = [], []
        for row in rows:
            if all(f.passes(row, types) for f in filters):
                row = {**row, **self._stored(table, body)}
                changed.append(dict(row))
            updated.append(row)
        self._check_unique(table, updated)
        self._commit(rows, updated)
        return changed

    # Writes
    @staticmethod
    def _commit(rows: list[dict], result: list[dict]) -> None:
        """Make `rows` what `result` (the rows, changed ones replaced, new ones after them) says,
        changing the row dicts in place so references to them stay current."""
        for row, new in zip(rows, result[: len(rows)], strict=True):
            if new is not row:
                row.update(new)
        rows.extend(result[len(rows) :])

    def _stored(self, table: str, row: dict) -> dict:
        types = self.column_types.get(table, {})
        return {column: store_value(types.get(column), value) for column, value in row.items()}

    def _check_unique(self, table: str, rows: list[dict]) -> None:
        for key in self.unique_keys.get(table, ()):
            seen = set()
            for row in rows:
                values = tuple(row.get(column) for column in key)
                if None in values:
                    continue
                if values in seen:
                    raise ApiError(
                        409,
                        "23505",
                        f'duplicate key value violates unique constraint "{table}_{"_".join(key)}_key"',
                        details=f"Key ({', '.join(key)})=({', '.join(map(str, values))}) already exists.",
                    )
                seen.add(values)

    def insert(
        self, schema: str, table: str, query: list[tuple[str, str]], body: Any, prefer: dict[str, str]
    ) -> list[dict]:
        """An insert, or with a resolution preference an upsert (INSERT ... ON CONFLICT), as one
        statement: it changes every row or none. Returns the rows inserted or updated."""
        rows = self._rows(schema, table)
        items = body if isinstance(body, list) else [body]
        if not all(isinstance(item, dict) for item in items):
            raise ApiError(400, "PGRST102", "Empty or invalid json")
        params = dict(query)
        if "columns" in params:
            columns = [c.strip().strip('"') for c in params["columns"].split(",") if c.strip()]
        else:
            columns = list(items[0]) if items else []
            if any(set(item) != set(columns) for item in items):
                raise ApiError(400, "PGRST102", "All object keys must match")
        # Rows come back in the table's column order, as PostgreSQL returns them.
        known = list(rows[0]) if rows else list(items[0]) if items else []
        columns = [c for c in known if c in columns] + [c for c in columns if c not in known]
        new_rows = [self._stored(table, {c: item.get(c) for c in columns}) for item in items]

        resolution = prefer.get("resolution")
        target: tuple[str, ...] | None = None
        if resolution in ("ignore-duplicates", "merge-duplicates"):
            keys = self.unique_keys.get(table, ())
            if "on_conflict" in params:
                wanted = {c.strip().strip('"') for c in params["on_conflict"].split(",")}
                target = next((key for key in keys if set(key) == wanted), None)
            else:
                target = keys[0] if keys else None
            if target is None:
                raise ApiError(
                    400, "42P10", "there is no unique or exclusion constraint matching the ON CONFLICT specification"
                )

        result = list(rows)
        written, touched = [], set()
        for new in new_rows:
            values = tuple(new.get(c) for c in target) if target else ()
            match = None
            if target and None not in values:
                match = next((i for i, row in enumerate(result) if tuple(row.get(c) for c in target) == values), None)
            if match is None:
                result.append(new)
                written.append(new)
                touched.add(len(result) - 1)
                continue
            if resolution == "ignore-duplicates":
                continue
            if match in touched:
                raise ApiError(500, "21000", "ON CONFLICT DO UPDATE command cannot affect row a second time")
            touched.add(match)
            result[match] = {**result[match], **new}
            written.append(result[match])
        self._check_unique(table, result)
        self._commit(rows, result)
        return [dict(row) for row in written]

    def call(self, schema: str, name: str, params: dict) -> Any:
        if name not in self.functions:
            raise ApiError(404, "PGRST202", f"Could not find the function {schema}.{name} in the schema cache")
        fn = self.functions[name]
        return fn(params) if callable(fn) else copy.deepcopy(fn)

    # One HTTP request
    def handle(self, req: Request) -> tuple[int, Any]:
        with self.lock:
            self.requests.append(req)
        try:
            if self.keys is not None:
                auth = req.headers.get("authorization", "")
                if not auth.startswith("Bearer ") or auth[7:] not in self.keys:
                    raise ApiError(401, "PGRST301", "Invalid API key")
            prefix = "/rest/v1/"
            if not req.path.startswith(prefix):
                raise ApiError(404, "PGRST000", f"no route for {req.path}")
            name = req.path[len(prefix) :]
            read = req.method in ("GET", "HEAD")
            schema = req.headers.get("accept-profile" if read else "content-profile", "public")
            refusal = self.refusals.get(name) or (self.refusals.get("rpc/*") if name.startswith("rpc/") else None)
            if refusal is not None and (refusal[2] is None or refusal[2](req)):
                raise ApiError(refusal[0], "P0001", refusal[1])
            with self.lock:
                if name.startswith("rpc/"):
                    if schema not in self.schemas:
                        self._rows(schema, "")
                    return 200, self.call(schema, name[4:], req.body or {})
                if req.method == "GET":
                    return 200, self.select(schema, name, req.query)
                if req.method == "PATCH":
                    return 200, self.update(schema, name, req.query, req.body)
                if req.method == "POST":
                    prefer = parse_prefer(req.headers)
                    written = self.insert(schema, name, req.query, req.body, prefer)
                    return 201, written if prefer.get("return") == "representation" else None
                raise ApiError(405, "PGRST000", f"method {req.method} not supported")
        except ApiError as err:
            return err.status, err.body


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    database: Database

    def setup(self):
        super().setup()
        # Headers and body go out as separate writes; without this, Nagle's algorithm and the
        # client's delayed ACK add 40 ms to every keep-alive response.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format, *args):  # keep test output clean
        pass

    def _serve(self):
        parts = urlsplit(self.path)
        body = read_body(self)
        req = Request(
            method=self.command,
            path=unquote(parts.path),
            query=parse_qsl(parts.query, keep_blank_values=True),
            headers={k.lower(): v for k, v in self.headers.items()},
            body=body,
        )
        status, payload = self.server.database.handle(req)
        data = b"" if payload is None and status == 201 else json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = do_PATCH = do_DELETE = _serve


class DatabaseServer(LocalHTTPServer):
    """Serves a `Database` on 127.0.0.1 at an ephemeral port; use as a context manager."""

    def __init__(self, database: Database):
        super().__init__(_Handler, database=database)
        self.database = database


def closed_port_url() -> str:
    """A URL on 127.0.0.1 where nothing listens: requests to it fail to connect."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}"
