"""Helpers for tests that run the package's programs and read their log lines."""

from __future__ import annotations

import json
import os
import subprocess
import sys


def clean_env(**settings) -> dict[str, str]:
    """The process environment without the settings the modules read, plus `settings`
    (a value of None leaves the variable unset)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("SUPABASE_", "TESSEL_", "PUBLIC_BACKEND_", "MEDIATOR_", "MAX_PARALLEL",
                                "DRIFT_", "FLY_", "SOCKS_", "NORVOX_", "ENV"))}
    env.update({k: v for k, v in settings.items() if v is not None})
    return env


def json_lines(text: str) -> list[dict]:
    """The JSON objects among the output lines (other lines are skipped)."""
    events = []
    for line in text.splitlines():
        if line.startswith("{"):
            events.append(json.loads(line))
    return events


def run_python(code: str, env=None, timeout=60, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=timeout, **kwargs)
