"""Stand-in for the profile reading of the DRAV tools: one interval's time, import and export."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any


@dataclass
class DRAVReading:
    """One profile reading as the meter-reading tools hand it over."""

    timestamp: Any
    imp: Any
    exp: Any
