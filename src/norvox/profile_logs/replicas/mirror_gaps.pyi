"""Find the days missing from replica folders of daily files."""

import datetime
import os
import re


DATE_PATTERN: re.Pattern[str]

def extract_date_from_filename(filename: str) -> datetime.date | None:
    """
    The day a daily file name carries (the eight digits of its last "-" + eight digits + ".csv" ending), or None when it has none or they are no calendar day.
    """

def _generate_date_range(start_date: datetime.date, end_date: datetime.date) -> list[datetime.date]:
    """Every day from start_date to end_date, both included, ascending."""

def check_missing_files(root_path: str | os.PathLike[str], start_date: datetime.date, end_date: datetime.date) -> dict[str, list[datetime.date]]:
    """
    For each folder of the tree at root_path whose files carry days, the days of the range it lacks, keyed by its path relative to root_path ("." for the root itself).
    """

def check_missing_files_for_folder(folder_path: str | os.PathLike[str], start_date: datetime.date, end_date: datetime.date) -> list[datetime.date]:
    """
    The days of the range for which the folder holds no entry named for that day.
    """
