"""Stand-in for the profile reading of the DRAV tools: one interval's time, import and export."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime


@dataclass
class DRAVReading:
    """One profile reading as the meter-reading tools hand it over."""

    timestamp: datetime
    imp: float | None
    exp: float | None
