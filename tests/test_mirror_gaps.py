"""Gap search over replica folders of daily files: the name rule, the day range, the folder
check and the tree scan, on temporary trees."""

from __future__ import annotations

import inspect
import os
import random
import re
import stat
from datetime import date, datetime, timedelta
from pathlib import Path

import pytest

from bench.bench_replicas import peer_day as reference_day  # the pattern read with strptime
from norvox.profile_logs.replicas import mirror_gaps
from norvox.profile_logs.replicas.mirror_gaps import (
    _generate_date_range,
    check_missing_files,
    check_missing_files_for_folder,
    extract_date_from_filename,
)
from tests.replica_trees import make_tree, unprivileged

SEP = date(2021, 9, 1)
FIRST_THREE = [date(2021, 9, 1), date(2021, 9, 2), date(2021, 9, 3)]


def daily(day: date, serial: str = "DDR0001", element: str = "A") -> str:
    return f"{serial}-{element}-{day:%Y%m%d}.csv"


@pytest.fixture
def tree(tmp_path):
    """make a tree under the test's folder: tree(layout) -> its root."""
    return lambda layout, name="root": make_tree(tmp_path / name, layout)


# ---- the name rule ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [
        ("DDR0001-A-20210915.csv", date(2021, 9, 15)),
        ("-20210915.csv", date(2021, 9, 15)),
        ("any thing at all, even - and .csv-20210915.csv", date(2021, 9, 15)),
        ("Zähler-Ω-20210915.csv", date(2021, 9, 15)),
        ("carriage\rreturn-20210915.csv", date(2021, 9, 15)),
        ("x-20200101-20210915.csv", date(2021, 9, 15)),
        ("x-20210915.csv-20200101.csv", date(2020, 1, 1)),
        ("dir/sub/x-20210915.csv", date(2021, 9, 15)),
        ("x-20210915.csv\n", date(2021, 9, 15)),
        ("x-20210915.csv\n\n", None),
        ("a\nb-20210915.csv", None),
        ("x\n-20210915.csv", None),
        ("x-20210915.CSV", None),
        ("x-20210915.Csv", None),
        ("x-20210915.csv.bak", None),
        ("x-20210915.csv ", None),
        ("x-20210915csv", None),
        ("x-120210915.csv", None),
        ("x-2021091.csv", None),
        ("x-a20210915.csv", None),
        ("x-2021O915.csv", None),
        ("x20210915.csv", None),
        ("x_20210915.csv", None),
        ("20210915.csv", None),
        ("x-٢٠٢١٠٩١٥.csv", None),  # only ASCII digits are read
        ("", None),
        ("x-20200229.csv", date(2020, 2, 29)),
        ("x-20000229.csv", date(2000, 2, 29)),
        ("x-20210229.csv", None),
        ("x-21000229.csv", None),
        ("x-20210230.csv", None),
        ("x-20210431.csv", None),
        ("x-20211301.csv", None),
        ("x-20210001.csv", None),
        ("x-20210100.csv", None),
        ("x-00000101.csv", None),
        ("x-00010101.csv", date(1, 1, 1)),
        ("x-99991231.csv", date(9999, 12, 31)),
    ],
)
def test_name_rule(name, expected):
    assert extract_date_from_filename(name) == expected
    assert extract_date_from_filename(filename=name) == expected


def test_name_rule_agrees_with_pattern_on_random_names():
    rng = random.Random(7)
    alphabet = "-0123456789.csvCS\nx "
    pieces = ["-", ".csv", "\n", "2021", "0229", "1231", "1301", "-2020", "0101"]
    for _ in range(20000):
        parts = [rng.choice(pieces) if rng.random() < 0.5 else rng.choice(alphabet) for _ in range(rng.randrange(12))]
        name = "".join(parts)
        assert extract_date_from_filename(name) == reference_day(name), repr(name)


def test_pattern_constant():
    assert mirror_gaps.DATE_PATTERN.pattern == r".*-(\d{8})\.csv$"
    assert mirror_gaps.DATE_PATTERN.flags == re.compile("").flags
    assert mirror_gaps.DATE_PATTERN.match("x-20210915.csv").group(1) == "20210915"


@pytest.mark.parametrize(
    "function, signature",
    [
        (extract_date_from_filename, "(filename)"),
        (_generate_date_range, "(start_date, end_date)"),
        (check_missing_files, "(root_path, start_date, end_date)"),
        (check_missing_files_for_folder, "(folder_path, start_date, end_date)"),
    ],
)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature


def test_checks_take_their_arguments_by_name(tree):
    root = tree({daily(SEP): "", "sub": {daily(date(2021, 1, 1)): ""}})
    assert check_missing_files(end_date=SEP, start_date=SEP, root_path=root) == {"sub": [SEP]}
    assert check_missing_files_for_folder(end_date=SEP, start_date=SEP, folder_path=root / "sub") == [SEP]


class Text(str):
    pass


@pytest.mark.parametrize("value", [None, b"x-20210915.csv", 20210915, Path("x-20210915.csv"), Text("x")])
def test_name_rule_refuses_anything_but_text(value):
    with pytest.raises(TypeError, match=r"Argument 'filename' has incorrect type \(expected str, got "):
        extract_date_from_filename(value)


# ---- the day range ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (SEP, SEP, [SEP]),
        (SEP, SEP - timedelta(days=1), []),
        (SEP, SEP - timedelta(days=400), []),
        (date(2020, 2, 28), date(2020, 3, 1), [date(2020, 2, 28), date(2020, 2, 29), date(2020, 3, 1)]),
        (date(2021, 12, 31), date(2022, 1, 1), [date(2021, 12, 31), date(2022, 1, 1)]),
        (date(9999, 12, 30), date(9999, 12, 31), [date(9999, 12, 30), date(9999, 12, 31)]),
    ],
)
def test_day_range(start, end, expected):
    assert _generate_date_range(start, end) == expected
    assert _generate_date_range(start_date=start, end_date=end) == expected


def test_day_range_of_a_whole_year_and_of_datetimes():
    year = _generate_date_range(date(2024, 1, 1), date(2024, 12, 31))
    assert len(year) == 366 and year == sorted(set(year))
    # Other values go through their own arithmetic: datetimes give datetimes.
    start = datetime(2021, 9, 1, 12)
    assert _generate_date_range(start, datetime(2021, 9, 3, 11)) == [start, start + timedelta(days=1)]


@pytest.mark.parametrize("start, end", [(None, SEP), (SEP, None), ("2021-09-01", SEP), (SEP, 5)])
def test_day_range_refuses_bounds_that_are_no_dates(start, end):
    with pytest.raises(TypeError):
        _generate_date_range(start, end)


# ---- the folder check ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "layout, expected",
    [
        ({daily(date(2021, 9, 1)): "", daily(date(2021, 9, 3)): "", daily(date(2021, 8, 2)): ""}, [date(2021, 9, 2)]),
        ({}, FIRST_THREE),
        ({"notes.txt": "", "x-20210902.CSV": "", "x-20210231.csv": ""}, FIRST_THREE),
        ({daily(date(2021, 9, 2)): {}, "y-20210901.csv": ("link", "nowhere")}, [date(2021, 9, 3)]),
        ({f"{s}-20210902.csv": "" for s in "abc"}, [date(2021, 9, 1), date(2021, 9, 3)]),
    ],
)
def test_folder_check(tree, layout, expected):
    folder = tree(layout)
    for path in (folder, str(folder), os.fsencode(folder)):
        assert check_missing_files_for_folder(path, FIRST_THREE[0], FIRST_THREE[-1]) == expected


def test_folder_check_of_a_missing_folder_and_an_empty_range(tmp_path):
    missing = tmp_path / "absent"
    assert check_missing_files_for_folder(missing, FIRST_THREE[0], FIRST_THREE[-1]) == FIRST_THREE
    os.symlink(missing, tmp_path / "dangling")
    assert check_missing_files_for_folder(tmp_path / "dangling", SEP, SEP) == [SEP]
    assert check_missing_files_for_folder(str(tmp_path) + "\0x", SEP, SEP) == [SEP]
    assert check_missing_files_for_folder(missing, SEP, SEP - timedelta(days=1)) == []
    assert check_missing_files_for_folder(tmp_path, SEP, SEP - timedelta(days=1)) == []


def test_folder_check_follows_a_link_to_a_folder(tree, tmp_path):
    folder = tree({daily(SEP): ""})
    os.symlink(folder, tmp_path / "link")
    assert check_missing_files_for_folder(tmp_path / "link", SEP, SEP + timedelta(days=1)) == [date(2021, 9, 2)]


def test_folder_check_of_a_file_raises_the_listing_error(tmp_path):
    file = tmp_path / daily(SEP)
    file.write_text("")
    with pytest.raises(NotADirectoryError) as caught:
        check_missing_files_for_folder(str(file), SEP, SEP)
    assert caught.value.filename == str(file)


def test_folder_check_of_an_unreadable_folder_raises(open_tmp):
    folder = make_tree(open_tmp / "locked", {daily(SEP): ""})
    folder.chmod(0)
    with unprivileged(), pytest.raises(PermissionError):
        check_missing_files_for_folder(folder, SEP, SEP)


@pytest.mark.parametrize("check", [check_missing_files, check_missing_files_for_folder])
def test_checks_refuse_values_that_are_no_paths(check):
    with pytest.raises(TypeError, match="os.PathLike"):
        check(42, SEP, SEP)
    # The day range comes first, so its error wins.
    with pytest.raises(TypeError, match="unsupported operand"):
        check(42, SEP, "x")


# ---- the tree scan ------------------------------------------------------------------------------


def sept(*days: int) -> list[date]:
    return [date(2021, 9, d) for d in days]


def scan(root, start=FIRST_THREE[0], end=FIRST_THREE[-1]):
    return check_missing_files(root, start, end)


def walk_order(root) -> list[str]:
    """The folder keys in the order a top-down walk visits them."""
    return [os.path.relpath(folder, root).replace(os.sep, "/") for folder, _, _ in os.walk(root)]


def test_tree_scan(tree):
    root = tree(
        {
            daily(date(2021, 9, 1)): "",
            daily(date(2021, 9, 3)): "",
            "first": {"readme.txt": ""},
            "second": {daily(date(2020, 9, 1)): ""},
            "complete": {daily(date(2021, 9, d)): "" for d in (1, 2, 3)},
            "deep": {"er": {daily(date(2021, 9, 2)): "", "x-20210901.txt": ""}},
            "x-20210903.csv": {"y-20210902.csv": ""},  # a folder named like a daily file
        }
    )
    result = scan(root)
    assert result == {".": sept(2), "second": sept(1, 2, 3), "deep/er": sept(1, 3), "x-20210903.csv": sept(1, 3)}
    assert list(result) == [key for key in walk_order(root) if key in result]
    assert scan(str(root)) == scan(os.fsencode(root)) == result


def test_tree_scan_counts_links_by_what_they_lead_to(tree, tmp_path):
    outside = make_tree(tmp_path / "outside", {daily(date(2021, 9, 2)): ""})
    root = tree(
        {
            daily(date(2021, 9, 1)): "",
            "x-20210902.csv": ("link", str(outside)),  # a link to a folder is a folder
            "y-20210903.csv": ("link", "gone"),  # a dangling link is a file
            "inside": ("link", str(outside)),  # not entered
            "sub": {"z-20210902.csv": ("link", f"../{daily(date(2021, 9, 1))}")},
        }
    )
    assert scan(root) == {".": sept(2), "sub": sept(1, 3)}


def test_tree_scan_walks_a_root_that_is_a_link(tree, tmp_path):
    tree({"a": {daily(date(2021, 9, 1)): ""}})
    os.symlink(tmp_path / "root", tmp_path / "alias")
    assert scan(tmp_path / "alias") == {"a": sept(2, 3)}


def test_tree_scan_of_missing_or_file_roots_and_empty_ranges(tree, tmp_path):
    root = tree({daily(date(2021, 9, 1)): "", "sub": {daily(date(2021, 1, 1)): ""}})
    assert scan(tmp_path / "absent") == {}
    assert scan(root / daily(date(2021, 9, 1))) == {}
    assert scan(str(root) + "\0") == {}
    assert scan(root, SEP, SEP - timedelta(days=1)) == {}
    assert scan(root, SEP, SEP) == {"sub": [SEP]}


def test_tree_scan_passes_over_unreadable_folders(open_tmp):
    root = make_tree(
        open_tmp / "root",
        {
            daily(date(2021, 9, 1)): "",
            "locked": {daily(date(2021, 9, 1)): "", "below": {daily(date(2021, 9, 2)): ""}},
            "open": {daily(date(2021, 9, 3)): ""},
        },
    )
    (root / "locked").chmod(0)
    with unprivileged():
        assert scan(root) == {".": sept(2, 3), "open": sept(1, 2)}
    root.chmod(stat.S_IWUSR | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)  # may be entered, not listed
    with unprivileged():
        assert scan(root) == {}


def test_tree_scan_keys_are_relative_to_the_root_as_passed(tree, tmp_path, monkeypatch):
    tree({"a": {"b": {daily(date(2021, 9, 1)): ""}}})
    monkeypatch.chdir(tmp_path)
    for root in ("root", "./root/", "root//a/..", Path("root")):
        assert scan(root) == {"a/b": sept(2, 3)}
    monkeypatch.chdir(tmp_path / "root" / "a" / "b")
    assert scan(".") == {".": sept(2, 3)}


def test_tree_scan_with_datetime_bounds_uses_their_own_comparison(tree):
    # Days read from names are dates, which never equal datetimes: every day counts as missing.
    root = tree({daily(date(2021, 9, 1)): ""})
    start = datetime(2021, 9, 1)
    assert scan(root, start, start + timedelta(days=1)) == {".": [start, start + timedelta(days=1)]}
    assert check_missing_files_for_folder(root, start, start) == [start]
