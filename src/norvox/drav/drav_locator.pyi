import datetime
import pathlib

import norvox.drav.drav_filename
import norvox.drav.drav_locator_result


class DRAVLocator:
    """Finds DRAV profile-log files in one folder (static operations only)."""

    @staticmethod
    def find(directory: pathlib.Path, filename_prefix: str, filename_day: datetime.date) -> norvox.drav.drav_locator_result.DRAVLocatorResult:
        """
        The meter's file for the day (no element named), with its ingestion flags.
        """

    @staticmethod
    def find_with_element(directory: pathlib.Path, filename_prefix: str, filename_day: datetime.date, element_marker: norvox.drav.drav_filename.ElementMarker) -> norvox.drav.drav_locator_result.DRAVLocatorResult:
        """The meter's file for the day and element, with its ingestion flags."""

    @staticmethod
    def _find_internal(directory: pathlib.Path, filename_prefix: str, filename_day: datetime.date, element_marker: norvox.drav.drav_filename.ElementMarker | None) -> norvox.drav.drav_locator_result.DRAVLocatorResult:
        """The look-up shared by find and find_with_element."""

    @staticmethod
    def find_downloaded(directory: pathlib.Path) -> list[pathlib.Path]:
        """
        The downloaded, not yet ingested DRAV files of the folder, in name order.
        """
