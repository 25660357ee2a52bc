"""Stand-in for the DRAV file-name model of the profile-log tools.

A meter's daily DRAV file is named ``<serial>-<element>-<YYYYMMDD>.csv`` (``<serial>-<YYYYMMDD>.csv``
for a meter with one element). Ingestion adds markers between the day and ``.csv``:
``.corvane`` once the file went to Corvane, ``.timescale`` once it went to the time-series
store, both in that order when both happened. So ``serial_element_day_prefix`` (everything up
to and including the day) begins every name of one meter's file for one day and element.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from datetime import date, datetime
from enum import Enum
from typing import ClassVar


class ElementMarker(Enum):
    """The element of a twin-element meter."""

    A = "A"
    B = "B"


_CORVANE = ".corvane"
_TIMESCALE = ".timescale"
_NAME = re.compile(
    r"(?P<prefix>.+?)(?:-(?P<element>[AB]))?-(?P<day>\d{8})"
    r"(?P<corvane>\.corvane)?(?P<timescale>\.timescale)?\.csv"
)


@dataclass(frozen=True)
class DRAVFilename:
    """The name of one meter's DRAV file for one day, element and ingestion state."""

    prefix: str
    day: date
    element: ElementMarker | None = None
    ingested_corvane: bool = False
    ingested_timescale: bool = False

    #: Full match: the names of downloaded files, which carry no ingestion marker.
    DOWNLOADED_FILENAME_PATTERN: ClassVar[re.Pattern[str]] = re.compile(
        r"(?P<prefix>.+?)(?:-(?P<element>[AB]))?-(?P<day>\d{8})\.csv"
    )

    def serial_element_day_prefix(self) -> str:
        element = f"-{self.element.value}" if self.element is not None else ""
        return f"{self.prefix}{element}-{self.day.strftime('%Y%m%d')}"

    def filename(self) -> str:
        """The bare file name: one path component, so a prefix holding a separator is refused."""
        if "/" in self.prefix:
            raise ValueError(f"file-name prefix holds a path separator: {self.prefix!r}")
        corvane = _CORVANE if self.ingested_corvane else ""
        timescale = _TIMESCALE if self.ingested_timescale else ""
        return f"{self.serial_element_day_prefix()}{corvane}{timescale}.csv"

    def is_ingested_corvane(self) -> bool:
        return self.ingested_corvane

    def is_ingested_timescale(self) -> bool:
        return self.ingested_timescale

    @classmethod
    def from_filename(cls, name: str) -> DRAVFilename:
        match = _NAME.fullmatch(name)
        if match is None:
            raise ValueError(f"not a DRAV file name: {name!r}")
        element = match["element"]
        return cls(
            match["prefix"],
            datetime.strptime(match["day"], "%Y%m%d").date(),
            ElementMarker(element) if element else None,
            match["corvane"] is not None,
            match["timescale"] is not None,
        )
