"""Replica comparison: the records, the date filter, the folder scan and the comparison report,
on temporary trees."""

from __future__ import annotations

import copy
import gc
import inspect
import os
import pickle
import subprocess
import sys
import threading
import weakref
from datetime import date, datetime
from pathlib import Path

import pytest

from norvox.profile_logs.replicas import mirror_diff, mirror_gaps
from norvox.profile_logs.replicas.mirror_diff import (
    ComparisonReport,
    FileDifference,
    FileInfo,
    compare_replicas,
    is_within_date_range,
    scan_replica_folder,
)
from tests.replica_trees import make_tree, unprivileged

D1, D2, D3 = date(2021, 9, 1), date(2021, 9, 2), date(2021, 9, 3)


@pytest.fixture
def tree(tmp_path):
    """make a tree under the test's folder: tree(layout, name) -> its root."""
    return lambda layout, name="one": make_tree(tmp_path / name, layout)


def keys(files) -> list[str]:
    return [f.relative_path for f in files]


def assert_invariants(report: ComparisonReport):
    common = len(report.different_files) + report.identical_files
    assert report.total_files_1 == len(report.only_in_folder_1) + common
    assert report.total_files_2 == len(report.only_in_folder_2) + common
    assert all(d.size_diff == d.size_2 - d.size_1 != 0 for d in report.different_files)


# ---- records ------------------------------------------------------------------------------------

RECORDS = [
    (FileInfo, ["relative_path", "absolute_path", "size", "date"], "Information about a file for comparison."),
    (FileDifference, ["relative_path", "size_1", "size_2", "size_diff"], "Represents a difference between two files."),
    (
        ComparisonReport,
        [
            "only_in_folder_1",
            "only_in_folder_2",
            "different_files",
            "identical_files",
            "total_files_1",
            "total_files_2",
        ],
        "Report containing comparison results.",
    ),
]


@pytest.mark.parametrize("cls, fields, doc", RECORDS, ids=[r[0].__name__ for r in RECORDS])
def test_records(cls, fields, doc):
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == f"({', '.join(fields)})"
    values = [f"v{i}" for i in range(len(fields))]
    by_position, by_name = cls(*values), cls(**dict(zip(fields, values, strict=True)))
    assert [getattr(by_position, f) for f in fields] == values
    assert by_position == by_name and not by_position != by_name
    setattr(by_name, fields[-1], None)
    assert by_position != by_name and getattr(by_name, fields[-1]) is None
    assert by_position != tuple(values)
    assert (
        repr(by_position)
        == f"{cls.__name__}(" + ", ".join(f"{f}={v!r}" for f, v in zip(fields, values, strict=True)) + ")"
    )
    assert copy.deepcopy(by_position) == pickle.loads(pickle.dumps(by_position)) == by_position
    with pytest.raises(TypeError):
        hash(by_position)
    with pytest.raises(TypeError):
        cls(*values[:-1])
    with pytest.raises(TypeError):
        cls(*values, None)


@pytest.mark.parametrize("cls", [r[0] for r in RECORDS], ids=[r[0].__name__ for r in RECORDS])
def test_a_record_made_without_its_fields_reads_as_none(cls):
    bare = cls.__new__(cls)
    empty = cls(*[None] * len(cls.__match_args__))
    assert bare == empty and bare != cls(*range(len(cls.__match_args__)))
    assert cls(*range(len(cls.__match_args__))) != bare and repr(bare) == repr(empty)


@pytest.mark.parametrize(
    "function, line, signature",
    [
        (
            is_within_date_range,
            "Check if a file date is within the specified date range.",
            "(file_date, start_date, end_date)",
        ),
        (
            scan_replica_folder,
            "Scan a replica folder and build a map of relative paths to FileInfo.",
            "(base_path, start_date=None, end_date=None)",
        ),
        (
            compare_replicas,
            "Compare two replica folders and generate a comparison report.",
            "(folder_1, folder_2, start_date=None, end_date=None)",
        ),
    ],
)
def test_function_documentation_and_signature(function, line, signature):
    assert function.__doc__ == line
    assert str(inspect.signature(function)) == signature


def test_records_take_part_in_garbage_collection():
    class Token:
        pass

    token = Token()
    watch = weakref.ref(token)
    info = FileInfo("a.csv", "a.csv", 0, None)
    info.date = [info, token]  # a cycle through the record
    assert repr(info) == f"FileInfo(relative_path='a.csv', absolute_path='a.csv', size=0, date=[..., {token!r}])"
    del info, token
    gc.collect()
    assert watch() is None


def test_a_record_shared_by_threads():
    info = FileInfo("a.csv", "a.csv", 0, None)
    barrier = threading.Barrier(8)
    errors = []

    def hammer(n):
        barrier.wait()
        try:
            for i in range(2000):
                info.size = (n, i)
                assert isinstance(info.size, tuple)
                assert info == info
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=hammer, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_loading_the_comparison_loads_the_gap_search():
    code = (
        "import sys; from norvox.profile_logs.replicas import mirror_diff as d; "
        "g = sys.modules['norvox.profile_logs.replicas.mirror_gaps']; "
        "assert d.extract_date_from_filename is g.extract_date_from_filename"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
    assert mirror_diff.extract_date_from_filename is mirror_gaps.extract_date_from_filename


# ---- the date filter ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "file_date, start, end, expected",
    [
        (None, None, None, True),
        (D2, None, None, True),
        (None, D1, None, False),
        (None, None, D3, False),
        (D1, D1, D3, True),
        (D3, D1, D3, True),
        (D1, D2, None, False),
        (D3, None, D2, False),
        (D2, D3, D1, False),
        (D2, D2, D2, True),
    ],
)
def test_date_filter(file_date, start, end, expected):
    assert is_within_date_range(file_date, start, end) is expected
    assert is_within_date_range(file_date=file_date, start_date=start, end_date=end) is expected


def test_date_filter_compares_with_the_values_own_operators():
    with pytest.raises(TypeError):
        is_within_date_range(D1, datetime(2021, 9, 1), None)


# ---- the folder scan ----------------------------------------------------------------------------


def test_scan_takes_csv_names_only(tree):
    base = tree(
        {
            "a.csv": 3,
            "a.CSV": 1,
            "a.csv.bak": 1,
            "a.txt": 1,
            ".csv": 0,
            "m-20210902.csv": 7,
            "sub": {"a.csv": 5, "dir.csv": {}},
        }
    )
    files = scan_replica_folder(base)
    assert sorted(files) == [".csv", "a.csv", "m-20210902.csv", "sub/a.csv"]
    assert files["sub/a.csv"] == FileInfo("sub/a.csv", f"{base}/sub/a.csv", 5, None)
    assert files["m-20210902.csv"] == FileInfo("m-20210902.csv", f"{base}/m-20210902.csv", 7, D2)
    assert files[".csv"].date is None and files[".csv"].size == 0
    assert all(key == info.relative_path for key, info in files.items())
    assert scan_replica_folder(str(base)) == scan_replica_folder(os.fsencode(base)) == files


def test_scan_map_is_in_walk_order(tree):
    base = tree({f"m{i}": {f"x-2021090{d}.csv": d for d in (3, 1, 2)} for i in range(6)} | {"top.csv": 1})
    expected = []
    for folder, _, names in os.walk(base):
        expected += [os.path.relpath(os.path.join(folder, n), base) for n in names]
    assert list(scan_replica_folder(base)) == expected


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (None, None, ["undated.csv", "x-20210831.csv", "x-20210901.csv", "x-20210903.csv", "x-20210904.csv"]),
        (D1, D3, ["x-20210901.csv", "x-20210903.csv"]),
        (None, D3, ["x-20210831.csv", "x-20210901.csv", "x-20210903.csv"]),
        (D3, None, ["x-20210903.csv", "x-20210904.csv"]),
        (D3, D1, []),
    ],
)
def test_scan_date_bounds(tree, start, end, expected):
    base = tree({"undated.csv": 1, "x-20210831.csv": 1, "x-20210901.csv": 1, "x-20210903.csv": 1, "x-20210904.csv": 1})
    assert sorted(scan_replica_folder(base, start, end)) == expected
    assert sorted(scan_replica_folder(base, start_date=start, end_date=end)) == expected

    # Bounds of another date type go through their own comparisons, with the same result.
    class Day(date):
        pass

    def day(d):
        return None if d is None else Day(d.year, d.month, d.day)

    assert sorted(scan_replica_folder(base, day(start), day(end))) == expected


def test_scan_of_links(tree, tmp_path):
    outside = make_tree(tmp_path / "outside", {"hidden.csv": 4})
    base = tree(
        {
            "real.csv": 10,
            "to-file.csv": ("link", "real.csv"),
            "dangling.csv": ("link", "gone"),
            "to-folder.csv": ("link", str(outside)),
            "inside": ("link", str(outside)),
        }
    )
    files = scan_replica_folder(base)
    assert {k: f.size for k, f in files.items()} == {"real.csv": 10, "to-file.csv": 10, "dangling.csv": 0}
    # A link to a folder is no file, so its dated name never meets the date filter, not even one
    # whose bound cannot be compared with a date.
    os.symlink(outside, base / "x-20210901.csv")
    assert scan_replica_folder(base, datetime(2021, 9, 1)) == {}
    os.symlink(outside, tmp_path / "alias")
    assert list(scan_replica_folder(tmp_path / "alias")) == ["hidden.csv"]


def test_scan_of_missing_file_and_unreadable_bases(tree, tmp_path):
    base = tree({"a.csv": 1})
    assert scan_replica_folder(tmp_path / "absent") == {}
    assert scan_replica_folder(base / "a.csv") == {}
    assert scan_replica_folder(f"{base}\0") == {}
    with pytest.raises(TypeError, match="os.PathLike"):
        scan_replica_folder(None)


def test_scan_skips_folders_that_cannot_be_listed(open_tmp):
    base = make_tree(
        open_tmp / "one", {"a.csv": 1, "locked": {"b.csv": 2, "below": {"c.csv": 3}}, "open": {"d.csv": 4}}
    )
    (base / "locked").chmod(0)
    with unprivileged():
        assert list(scan_replica_folder(base)) == ["a.csv", "open/d.csv"]
        report = compare_replicas(base, base)
    assert (report.identical_files, report.total_files_1, report.total_files_2) == (2, 2, 2)
    base.chmod(0o311)  # may be entered, not listed
    with unprivileged():
        assert scan_replica_folder(base) == {}


@pytest.mark.parametrize(
    "base, prefix",
    [
        (".", ""),
        ("replicas/one", "replicas/one/"),
        ("./replicas//one/", "replicas/one/"),
        ("replicas/../replicas/one", "replicas/../replicas/one/"),
        (Path("replicas/one"), "replicas/one/"),
    ],
)
def test_absolute_path_is_the_path_as_reached(tmp_path, monkeypatch, base, prefix):
    make_tree(tmp_path / "replicas" / "one", {"sub": {"a.csv": 1}})
    monkeypatch.chdir(tmp_path / "replicas" / "one" if base == "." else tmp_path)
    (info,) = scan_replica_folder(base).values()
    assert (info.relative_path, info.absolute_path) == ("sub/a.csv", prefix + "sub/a.csv")


# ---- the comparison -----------------------------------------------------------------------------


def test_comparison(tree):
    one = tree(
        {
            "same.csv": 5,
            "same-content-differs.csv": "abc",
            "grew.csv": 100,
            "shrank.csv": 120,
            "only1.csv": 1,
            "Sub": {"a.csv": 1},
            "sub": {"a.csv": 1, "x.txt": 9},
        }
    )
    two = tree(
        {
            "same.csv": 5,
            "same-content-differs.csv": "xyz",
            "grew.csv": 120,
            "shrank.csv": 100,
            "only2.csv": 2,
            "sub": {"a.csv": 1, "deeper": {"a.csv": 3}},
        },
        "two",
    )
    report = compare_replicas(one, two)
    assert keys(report.only_in_folder_1) == ["Sub/a.csv", "only1.csv"]
    assert keys(report.only_in_folder_2) == ["only2.csv", "sub/deeper/a.csv"]
    assert report.only_in_folder_2[1] == FileInfo("sub/deeper/a.csv", f"{two}/sub/deeper/a.csv", 3, None)
    assert report.different_files == [
        FileDifference("grew.csv", 100, 120, 20),
        FileDifference("shrank.csv", 120, 100, -20),
    ]
    assert (report.identical_files, report.total_files_1, report.total_files_2) == (3, 7, 7)
    assert_invariants(report)
    assert compare_replicas(folder_1=str(one), folder_2=os.fsencode(two)) == report


def test_comparison_key_order(tree):
    names = ["a0.csv", "a.csv", "B.csv", "a-b.csv", "é.csv", "z.csv"]
    one = tree({"a0.csv": 1, "a.csv": 1, "B.csv": 1, "a-b.csv": 1, "é.csv": 1, "z.csv": 1, "a": {"x.csv": 1}})
    two = tree({name: 2 for name in names} | {"a": {"x.csv": 2}}, "two")
    expected = ["B.csv", "a-b.csv", "a.csv", "a/x.csv", "a0.csv", "z.csv", "é.csv"]
    none = one.parent / "none"
    assert keys(compare_replicas(one, none).only_in_folder_1) == expected
    assert keys(compare_replicas(none, one).only_in_folder_2) == expected
    assert [d.relative_path for d in compare_replicas(one, two).different_files] == expected


def test_comparison_orders_undecodable_names_as_texts(tree):
    # b"\x80" reads as U+DC80, after U+D7FF although its byte sorts before U+D7FF's bytes.
    one = tree({b"\x80.csv": 1, "\ud7ff.csv": 1, "a.csv": 1})
    report = compare_replicas(one, one.parent / "none")
    assert keys(report.only_in_folder_1) == ["a.csv", "\ud7ff.csv", "\udc80.csv"]


def test_comparison_of_dangling_links(tree):
    one = tree({"x.csv": ("link", "gone"), "y.csv": ("link", "gone")})
    two = tree({"x.csv": 0, "y.csv": 10}, "two")
    report = compare_replicas(one, two)
    assert report.identical_files == 1
    assert report.different_files == [FileDifference("y.csv", 0, 10, 10)]


def test_comparison_with_bounds_and_missing_folders(tree, tmp_path):
    one = tree({"x-20210901.csv": 1, "x-20210905.csv": 1, "undated.csv": 1, "s": {"x-20210902.csv": 3}})
    two = tree({"x-20210901.csv": 2, "s": {"x-20210902.csv": 3}}, "two")
    report = compare_replicas(one, two, D1, D3)
    assert report == ComparisonReport([], [], [FileDifference("x-20210901.csv", 1, 2, 1)], 1, 2, 2)
    absent = tmp_path / "absent"
    report = compare_replicas(one, absent)
    assert keys(report.only_in_folder_1) == ["s/x-20210902.csv", "undated.csv", "x-20210901.csv", "x-20210905.csv"]
    assert (report.only_in_folder_2, report.different_files, report.total_files_2) == ([], [], 0)
    assert_invariants(report)
    assert compare_replicas(absent, absent) == ComparisonReport([], [], [], 0, 0, 0)
    assert compare_replicas(one, two, D3, D1) == ComparisonReport([], [], [], 0, 0, 0)
