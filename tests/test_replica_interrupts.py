"""The replica checks answer Ctrl-C from inside their folder walks and listings, as Python's own
folder calls do, on a tree of some fifty thousand daily files."""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
from datetime import date

import pytest

from norvox.profile_logs.replicas.mirror_diff import compare_replicas, scan_replica_folder
from norvox.profile_logs.replicas.mirror_gaps import check_missing_files, check_missing_files_for_folder
from tests.support import interrupted_after, raised_inside

FIRST, LAST = date(2024, 1, 1), date(2024, 1, 31)


@pytest.fixture(scope="module")
def wide_tree():
    """A folder of 30,000 daily files and ten folders of 2,000 each; in memory (tmpfs) where
    the machine has one, where making and removing them is quick."""
    root = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        for folder, count in [("flat", 30_000)] + [(f"d{n:02}", 2_000) for n in range(10)]:
            path = os.path.join(root, folder)
            os.mkdir(path)
            for i in range(count):
                os.close(os.open(os.path.join(path, f"S{i:05}-A-202401{i % 28 + 1:02}.csv"), os.O_CREAT | os.O_WRONLY))
        yield root
    finally:
        shutil.rmtree(root)


class ArmedPath:
    """A folder argument that starts the interrupt's timer when the function reads it, right
    before its walk (which takes some milliseconds): half a millisecond later, Ctrl-C."""

    def __init__(self, path) -> None:
        self.path = str(path)

    def __fspath__(self) -> str:
        signal.setitimer(signal.ITIMER_REAL, 0.0005)
        return self.path


class Day(date):
    """A date that is no plain date: the scans compare it through the interpreter."""


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "call, function",
    [
        (lambda root: check_missing_files(ArmedPath(root), FIRST, LAST), "check_missing_files"),
        (
            lambda root: check_missing_files_for_folder(ArmedPath(os.path.join(root, "flat")), FIRST, LAST),
            "check_missing_files_for_folder",
        ),
        (lambda root: scan_replica_folder(ArmedPath(root), FIRST, LAST), "scan_replica_folder"),
        # Bounds that are no plain dates: the walk holds the interpreter and asks about each file.
        (lambda root: scan_replica_folder(ArmedPath(root), Day(2024, 1, 1)), "scan_replica_folder"),
        (lambda root: compare_replicas(root, ArmedPath(root)), "compare_replicas"),
    ],
    ids=["gaps-tree", "gaps-folder", "scan", "scan-datetime-bounds", "compare"],
)
def test_a_walk_answers_ctrl_c_from_inside(wide_tree, call, function):
    descriptors = open_descriptors()
    with interrupted_after(None), pytest.raises(KeyboardInterrupt) as info:
        call(wide_tree)
    assert raised_inside(info.value, function)
    assert open_descriptors() == descriptors  # every folder it had open was closed
