"""How the demo shows things to an operator: headings, and log lines made readable."""

from __future__ import annotations

import json
import shutil
from collections.abc import Callable
from typing import Any

# An event's own keys; the rest are its named fields.
_EVENT_KEYS = ("module", "event", "level", "timestamp")


def heading(text: str) -> None:
    width = min(shutil.get_terminal_size((100, 20)).columns, 100)
    print("\n" + "=" * width + "\n" + text + "\n" + "=" * width, flush=True)


def brief(value: Any, limit: int = 110) -> str:
    """The JSON text of `value`, cut to `limit` characters."""
    text = json.dumps(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def parse_event(line: str) -> dict | None:
    """The JSON log event of an output line, or None for any other line."""
    try:
        event = json.loads(line)
    except ValueError:
        return None
    return event if isinstance(event, dict) else None


def event_text(event: dict, indent: str = "  ", render: Callable[[Any], str] = json.dumps) -> str:
    """One readable line for a log event: level, message, then its named fields."""
    extra = " ".join(f"{k}={render(v)}" for k, v in event.items() if k not in _EVENT_KEYS)
    return f"{indent}{event['level']:7} {event['event']}  {extra}".rstrip()
