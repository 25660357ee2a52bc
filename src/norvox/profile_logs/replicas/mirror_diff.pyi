"""Compare two replica folders of ".csv" files by relative path and size."""

import datetime
import os
from typing import ClassVar, Self

from norvox.profile_logs.replicas.mirror_gaps import (
    extract_date_from_filename as extract_date_from_filename
)


class FileInfo:
    """Information about a file for comparison."""

    def __init__(self, relative_path: str, absolute_path: str, size: int, date: datetime.date | None) -> None: ...

    @property
    def relative_path(self) -> str: ...

    @relative_path.setter
    def relative_path(self, value: str) -> None: ...

    @property
    def absolute_path(self) -> str: ...

    @absolute_path.setter
    def absolute_path(self, value: str) -> None: ...

    @property
    def size(self) -> int: ...

    @size.setter
    def size(self, value: int) -> None: ...

    @property
    def date(self) -> datetime.date | None: ...

    @date.setter
    def date(self, value: datetime.date | None) -> None: ...

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[type[Self], tuple[str, str, int, datetime.date | None]]: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    __match_args__ = ("relative_path", "absolute_path", "size", "date")

class FileDifference:
    """Represents a difference between two files."""

    def __init__(self, relative_path: str, size_1: int, size_2: int, size_diff: int) -> None: ...

    @property
    def relative_path(self) -> str: ...

    @relative_path.setter
    def relative_path(self, value: str) -> None: ...

    @property
    def size_1(self) -> int: ...

    @size_1.setter
    def size_1(self, value: int) -> None: ...

    @property
    def size_2(self) -> int: ...

    @size_2.setter
    def size_2(self, value: int) -> None: ...

    @property
    def size_diff(self) -> int: ...

    @size_diff.setter
    def size_diff(self, value: int) -> None: ...

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[type[Self], tuple[str, int, int, int]]: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    __match_args__ = ("relative_path", "size_1", "size_2", "size_diff")

class ComparisonReport:
    """Report containing comparison results."""

    def __init__(self, only_in_folder_1: list[FileInfo], only_in_folder_2: list[FileInfo], different_files: list[FileDifference], identical_files: int, total_files_1: int, total_files_2: int) -> None: ...

    @property
    def only_in_folder_1(self) -> list[FileInfo]: ...

    @only_in_folder_1.setter
    def only_in_folder_1(self, value: list[FileInfo]) -> None: ...

    @property
    def only_in_folder_2(self) -> list[FileInfo]: ...

    @only_in_folder_2.setter
    def only_in_folder_2(self, value: list[FileInfo]) -> None: ...

    @property
    def different_files(self) -> list[FileDifference]: ...

    @different_files.setter
    def different_files(self, value: list[FileDifference]) -> None: ...

    @property
    def identical_files(self) -> int: ...

    @identical_files.setter
    def identical_files(self, value: int) -> None: ...

    @property
    def total_files_1(self) -> int: ...

    @total_files_1.setter
    def total_files_1(self, value: int) -> None: ...

    @property
    def total_files_2(self) -> int: ...

    @total_files_2.setter
    def total_files_2(self, value: int) -> None: ...

    def __eq__(self, other: object) -> bool: ...

    def __repr__(self) -> str: ...

    def __reduce__(self) -> tuple[type[Self], tuple[list[FileInfo], list[FileInfo], list[FileDifference], int, int, int]]: ...

    __hash__: ClassVar[None]  # type: ignore[assignment]

    __match_args__ = ("only_in_folder_1", "only_in_folder_2", "different_files", "identical_files", "total_files_1", "total_files_2")

def is_within_date_range(file_date: datetime.date | None, start_date: datetime.date | None, end_date: datetime.date | None) -> bool:
    """Check if a file date is within the specified date range."""

def scan_replica_folder(base_path: str | os.PathLike[str], start_date: datetime.date | None = None, end_date: datetime.date | None = None) -> dict[str, FileInfo]:
    """Scan a replica folder and build a map of relative paths to FileInfo."""

def compare_replicas(folder_1: str | os.PathLike[str], folder_2: str | os.PathLike[str], start_date: datetime.date | None = None, end_date: datetime.date | None = None) -> ComparisonReport:
    """Compare two replica folders and generate a comparison report."""
