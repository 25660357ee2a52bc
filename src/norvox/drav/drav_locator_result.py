"""Stand-in for the DRAV locator's result record of the profile-log tools."""

from __future__ import annotations

from pathlib import Path
from typing import NamedTuple


class DRAVLocatorResult(NamedTuple):
    """Whether the found file was ingested (Corvane, time-series store) and where it is."""

    ingested_corvane: bool
    ingested_timescale: bool
    path: Path | None
