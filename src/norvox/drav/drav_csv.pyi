import datetime
from typing import Any, TextIO

import norvox.drav.drav_csv_record
import norvox.drav.drav_reading


class DRAVCSV:
    """
    Writers and readers of DRAV CSV profile-log files (static operations only).
    """

    @staticmethod
    def write(serial: str, output_file_path: str, records: list[norvox.drav.drav_csv_record.DRAVCSVRecord], element_marker: str | None = None) -> None:
        """
        Write the records as the meter's DRAV file for the first record's day into the folder output_file_path.
        """

    @staticmethod
    def write_from_profile_records(serial: str, output_dir: str, profile_records: list[dict[str, Any]], date: datetime.date, element_marker: str | None = None) -> None:
        """
        Write profile-record maps (timestamp, import_a, import_b, export) as a DRAV file.
        """

    @staticmethod
    def read(csv_string: str) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]:
        """The records of a DRAV file's whole text; unreadable rows are skipped."""

    @staticmethod
    def read_from_file(file_path: str) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]:
        """The records of a DRAV file; unreadable rows are skipped."""

    @staticmethod
    def _read_internal(file_obj: TextIO) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]:
        """The records of a line-by-line text stream after its first line."""

    @staticmethod
    def write_from_drav_readings(serial: str, output_dir: str, readings: list[norvox.drav.drav_reading.DRAVReading], element_marker: str | None = None) -> None:
        """Write DRAV readings (timestamp, imp, exp) as a DRAV file."""
