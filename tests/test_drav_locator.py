"""DRAVLocator on temporary folders: prefixes, ingestion flags, links, subfolders, order."""

from __future__ import annotations

import inspect
import os
from datetime import date
from pathlib import Path

import pytest

from norvox.drav import drav_locator
from norvox.drav.drav_filename import DRAVFilename, ElementMarker
from norvox.drav.drav_locator import DRAVLocator
from norvox.drav.drav_locator_result import DRAVLocatorResult

DAY = date(2024, 3, 1)
NOT_FOUND = DRAVLocatorResult(False, False, None)


def touch(folder: Path, *names: str) -> None:
    for name in names:
        (folder / name).write_text("x")


@pytest.mark.parametrize(
    ("names", "element", "found", "flags"),
    [
        (["SER-20240301.csv"], None, "SER-20240301.csv", (False, False)),
        (["SER-20240301.corvane.csv"], None, "SER-20240301.corvane.csv", (True, False)),
        (
            ["SER-A-20240301.corvane.timescale.csv"],
            ElementMarker.A,
            "SER-A-20240301.corvane.timescale.csv",
            (True, True),
        ),
        (
            ["SER-B-20240301.timescale.csv", "SER-A-20240301.csv"],
            ElementMarker.B,
            "SER-B-20240301.timescale.csv",
            (False, True),
        ),
        (["SER-A-20240301.csv"], ElementMarker.B, None, None),
        (["SER-20240302.csv", "SERX-20240301.csv", "other.txt"], None, None, None),
        ([], None, None, None),
    ],
    ids=["downloaded", "corvane", "both-markers", "element-b", "other-element", "no-match", "empty"],
)
def test_find(tmp_path, names, element, found, flags):
    touch(tmp_path, *names)
    if element is None:
        result = DRAVLocator.find(tmp_path, "SER", DAY)
    else:
        result = DRAVLocator.find_with_element(tmp_path, "SER", DAY, element)
    if found is None:
        assert result == NOT_FOUND
    else:
        assert result == DRAVLocatorResult(*flags, tmp_path / found)
        assert type(result.path) is type(tmp_path)


def test_find_ignores_subfolders_and_follows_links(tmp_path):
    (tmp_path / "SER-20240301.csv").mkdir()
    (tmp_path / "SER-20240301.corvane.csv").symlink_to(tmp_path / "missing")
    assert DRAVLocator.find(tmp_path, "SER", DAY) == NOT_FOUND
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    touch(elsewhere, "target")
    (tmp_path / "SER-20240301.timescale.csv").symlink_to(elsewhere / "target")
    assert DRAVLocator.find(tmp_path, "SER", DAY) == DRAVLocatorResult(
        False, True, tmp_path / "SER-20240301.timescale.csv"
    )


def test_find_takes_the_first_in_listing_order(tmp_path):
    touch(tmp_path, "SER-20240301.csv", "SER-20240301.corvane.csv")
    first = next(n for n in os.listdir(tmp_path) if n.startswith("SER-20240301"))
    result = DRAVLocator.find(tmp_path, "SER", DAY)
    assert result.path == tmp_path / first
    assert result.ingested_corvane == ("corvane" in first)


def test_relative_folder_gives_relative_paths(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d").mkdir()
    touch(tmp_path / "d", "SER-20240301.csv")
    assert DRAVLocator.find(Path("d"), "SER", DAY).path == Path("d/SER-20240301.csv")


@pytest.mark.parametrize("prefix", [None, 5, b"SER"])
def test_prefix_must_be_text_before_listing(prefix):
    missing = Path("/nonexistent/folder")
    for call in (
        lambda: DRAVLocator.find(missing, prefix, DAY),
        lambda: DRAVLocator.find_with_element(missing, prefix, DAY, ElementMarker.A),
        lambda: DRAVLocator._find_internal(missing, prefix, DAY, None),
    ):
        with pytest.raises(TypeError, match="filename_prefix"):
            call()


@pytest.mark.parametrize(
    ("make", "error"),
    [(lambda p: p / "missing", FileNotFoundError), (lambda p: p / "file", NotADirectoryError)],
)
def test_listing_errors_propagate(tmp_path, make, error):
    touch(tmp_path, "file")
    folder = make(tmp_path)
    with pytest.raises(error):
        DRAVLocator.find(folder, "SER", DAY)
    with pytest.raises(error):
        DRAVLocator.find_downloaded(folder)


def test_a_prefix_no_file_name_can_hold_still_lists_the_folder(tmp_path):
    prefix = "SER\ud800"  # has no file-system bytes: no name begins with it
    assert DRAVLocator.find(tmp_path, prefix, DAY) == NOT_FOUND
    with pytest.raises(FileNotFoundError):
        DRAVLocator.find(tmp_path / "missing", prefix, DAY)


def test_text_folder_is_not_converted(tmp_path):
    with pytest.raises(AttributeError):
        DRAVLocator.find(str(tmp_path), "SER", DAY)


def test_find_goes_through_the_class_look_up(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(DRAVLocator, "_find_internal", lambda *args: calls.append(args) or "r")
    assert DRAVLocator.find(tmp_path, "SER", DAY) == "r"
    assert DRAVLocator.find_with_element(tmp_path, "SER", DAY, ElementMarker.B) == "r"
    assert calls == [(tmp_path, "SER", DAY, None), (tmp_path, "SER", DAY, ElementMarker.B)]


def test_unparsable_candidate_name_raises_the_model_error(tmp_path):
    touch(tmp_path, "SER-20240301.csv.partial")
    with pytest.raises(ValueError, match="not a DRAV file name"):
        DRAVLocator.find(tmp_path, "SER", DAY)


def test_find_downloaded_in_name_order_full_match_files_only(tmp_path):
    names = [
        "M1-A-20240303.csv",
        "M1-A-20240301.csv",
        "M1-A-20240302.csv",
        "M1-A-20240301.corvane.csv",
        "M1-A-20240304.csv.bak",
        "notes.txt",
        "M2-20240301.csv",
    ]
    touch(tmp_path, *names)
    (tmp_path / "M1-A-20240305.csv").mkdir()
    (tmp_path / "M1-A-20240306.csv").symlink_to(tmp_path / "M1-A-20240301.csv")
    expected = ["M1-A-20240301.csv", "M1-A-20240302.csv", "M1-A-20240303.csv", "M1-A-20240306.csv", "M2-20240301.csv"]
    assert DRAVLocator.find_downloaded(tmp_path) == [tmp_path / n for n in expected]
    empty = tmp_path / "empty"
    empty.mkdir()
    assert DRAVLocator.find_downloaded(empty) == []


def test_other_folder_objects_are_walked_through_their_own_protocol(tmp_path):
    class Folder:
        """A folder object that is not a pathlib.Path: only iterdir() is used."""

        def __init__(self, path):
            self.path = path

        def iterdir(self):
            return self.path.iterdir()

    touch(tmp_path, "SER-20240301.csv", "SER-20240302.csv")
    assert DRAVLocator.find(Folder(tmp_path), "SER", DAY).path == tmp_path / "SER-20240301.csv"
    assert DRAVLocator.find_downloaded(Folder(tmp_path)) == [
        tmp_path / "SER-20240301.csv",
        tmp_path / "SER-20240302.csv",
    ]


@pytest.mark.parametrize(
    ("operation", "signature"),
    [
        ("find", "(directory, filename_prefix, filename_day)"),
        ("find_with_element", "(directory, filename_prefix, filename_day, element_marker)"),
        ("_find_internal", "(directory, filename_prefix, filename_day, element_marker)"),
        ("find_downloaded", "(directory)"),
    ],
)
def test_signatures(operation, signature):
    assert str(inspect.signature(getattr(DRAVLocator, operation))) == signature


def test_arguments_by_name(tmp_path):
    touch(tmp_path, "SER-20240301.csv", "SER-B-20240301.csv")
    assert (
        DRAVLocator.find_with_element(
            element_marker=ElementMarker.B, filename_day=DAY, filename_prefix="SER", directory=tmp_path
        ).path
        == tmp_path / "SER-B-20240301.csv"
    )
    assert (
        DRAVLocator.find(filename_day=DAY, filename_prefix="SER", directory=tmp_path).path
        == tmp_path / "SER-20240301.csv"
    )
    assert DRAVLocator.find_downloaded(directory=tmp_path) == [
        tmp_path / "SER-20240301.csv",
        tmp_path / "SER-B-20240301.csv",
    ]


def test_file_name_model_round_trip():
    name = DRAVFilename("SER", DAY, ElementMarker.A, True, False)
    assert name.filename() == "SER-A-20240301.corvane.csv"
    assert name.filename().startswith(name.serial_element_day_prefix())
    assert DRAVFilename.from_filename(name.filename()) == name
    assert drav_locator.DRAVLocator is DRAVLocator
