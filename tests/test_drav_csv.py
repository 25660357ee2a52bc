"""DRAVCSV: the writers' bytes, the reader's row rules, round trips and failure handling."""

from __future__ import annotations

import inspect
import io
import os
import stat
import threading
import time
from datetime import date, datetime, timedelta, timezone
from pathlib import Path

import pytest

from norvox.drav.drav_csv import DRAVCSV
from norvox.drav.drav_csv_record import DRAVCSVRecord
from norvox.drav.drav_reading import DRAVReading
from tests.support import interrupted_after, raised_inside

START = datetime(2024, 3, 1, 0, 30)
UTC = START.replace(tzinfo=timezone.utc)
HEADER = b'"created_at","SER","SER_rev"\r\n'


def rec(timestamp=UTC, imp=1.0, exp=2.0):
    return DRAVCSVRecord(timestamp, imp, exp)


def only_file(folder) -> Path:
    names = os.listdir(folder)
    assert len(names) == 1, names
    return Path(folder, names[0])


# --------------------------------------------------------------------------------------------
# write


def test_write_bytes_exactly(tmp_path):
    records = [
        rec(UTC, 1234.9, -0.5),
        rec(START, -1.7, None),
        rec(UTC.replace(microsecond=999_999), None, 0.0),
        rec(START.replace(tzinfo=timezone(timedelta(hours=-3, minutes=-30, seconds=-15))), 5, 6),
        rec(datetime(2024, 3, 2, 1, 0, tzinfo=timezone(timedelta(hours=2))), 1e20, 7),
    ]
    DRAVCSV.write("SER", str(tmp_path), records)
    path = only_file(tmp_path)
    assert path.name == "SER-20240301.csv"
    assert path.read_bytes() == HEADER + (
        b"2024-03-01 00:30:00+0000,1234,0\r\n"
        b"2024-03-01 00:30:00,-1,\r\n"
        b"2024-03-01 00:30:00+0000,,0\r\n"
        b"2024-03-01 00:30:00-033015,5,6\r\n"
        b"2024-03-02 01:00:00+0200,100000000000000000000,7\r\n"
    )


@pytest.mark.parametrize(
    ("marker", "name", "column"),
    [
        (None, "SER-20240301.csv", "SER"),
        ("", "SER-20240301.csv", "SER"),
        ("A", "SER-A-20240301.csv", "SER-A"),
        ("b", "SER-B-20240301.csv", "SER-b"),
        ("x", "SER-20240301.csv", "SER-x"),
        (" A", "SER-20240301.csv", "SER- A"),
    ],
)
def test_write_marker_names_file_and_column(tmp_path, marker, name, column):
    DRAVCSV.write("SER", str(tmp_path), [rec()], marker)
    path = only_file(tmp_path)
    assert path.name == name
    assert path.read_bytes().split(b"\r\n")[0] == f'"created_at","{column}","{column}_rev"'.encode()


def test_write_header_doubles_quotes(tmp_path):
    DRAVCSV.write('S"1', str(tmp_path), [rec()])
    assert only_file(tmp_path).read_bytes().startswith(b'"created_at","S""1","S""1_rev"\r\n')


def test_write_names_file_for_first_record_and_creates_folders(tmp_path):
    folder = tmp_path / "a" / "b"
    later = rec(datetime(2024, 3, 5, tzinfo=timezone.utc))
    DRAVCSV.write("SER", str(folder), [later, rec()])
    assert only_file(folder).name == "SER-20240305.csv"


def test_write_without_records_uses_todays_local_date(tmp_path):
    DRAVCSV.write("SER", str(tmp_path), [])
    path = only_file(tmp_path)
    assert path.name == f"SER-{date.today():%Y%m%d}.csv"
    assert path.read_bytes() == HEADER


def test_write_replaces_and_gives_a_plain_file_mode(tmp_path):
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 1, 1), rec(UTC, 2, 2)])
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 3, 3)])
    path = only_file(tmp_path)
    assert path.read_bytes() == HEADER + b"2024-03-01 00:30:00+0000,3,3\r\n"
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask


NEW_ROWS = HEADER + b"2024-03-01 00:30:00+0000,3,3\r\n"


def rewrite(folder) -> None:
    DRAVCSV.write("SER", str(folder), [rec(UTC, 3, 3)])


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o2751], ids=["0600", "0640", "setgid-0751"])
def test_rewrite_keeps_the_files_mode(tmp_path, mode):
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 1, 1)])
    path = only_file(tmp_path)
    path.chmod(mode)
    rewrite(tmp_path)
    assert path.read_bytes() == NEW_ROWS
    assert stat.S_IMODE(path.stat().st_mode) == mode


@pytest.mark.skipif(os.geteuid() != 0, reason="only a privileged process may give a file away")
def test_rewrite_keeps_the_files_owner_and_group(tmp_path):
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 1, 1)])
    path = only_file(tmp_path)
    os.chown(path, 4321, 8765)
    path.chmod(0o640)
    rewrite(tmp_path)
    st = path.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (4321, 8765, 0o640)


@pytest.mark.parametrize("link", ["absolute", "relative", "chain"])
def test_rewrite_writes_through_a_link_to_its_file(tmp_path, link):
    store = tmp_path / "store"
    store.mkdir()
    (store / "SER-20240301.csv").write_bytes(b"old")
    (store / "SER-20240301.csv").chmod(0o600)
    folder = tmp_path / "view"
    folder.mkdir()
    named = folder / "SER-20240301.csv"
    if link == "absolute":
        named.symlink_to(store / "SER-20240301.csv")
    elif link == "relative":
        named.symlink_to(Path("..", "store", "SER-20240301.csv"))
    else:
        (folder / "hop").symlink_to(Path("..", "store", "SER-20240301.csv"))
        named.symlink_to("hop")
    before = os.readlink(named)
    rewrite(folder)
    # The link is still the link it was; the file it leads to holds the new rows, mode kept.
    assert named.is_symlink() and os.readlink(named) == before
    assert (store / "SER-20240301.csv").read_bytes() == NEW_ROWS
    assert stat.S_IMODE((store / "SER-20240301.csv").stat().st_mode) == 0o600
    # Nothing was left beside the file or the link.
    assert sorted(os.listdir(store)) == ["SER-20240301.csv"]
    assert sorted(os.listdir(folder)) == sorted(["SER-20240301.csv"] + (["hop"] if link == "chain" else []))


def test_rewrite_through_a_dangling_link_creates_its_file_with_a_plain_mode(tmp_path):
    (tmp_path / "SER-20240301.csv").symlink_to("kept.csv")
    rewrite(tmp_path)
    assert (tmp_path / "SER-20240301.csv").is_symlink()
    assert (tmp_path / "kept.csv").read_bytes() == NEW_ROWS
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE((tmp_path / "kept.csv").stat().st_mode) == 0o666 & ~umask


def test_rewrite_through_a_link_loop_fails_and_leaves_it(tmp_path):
    (tmp_path / "SER-20240301.csv").symlink_to("SER-20240301.csv")
    with pytest.raises(OSError) as info:
        rewrite(tmp_path)
    assert info.value.filename == str(tmp_path / "SER-20240301.csv")
    assert os.listdir(tmp_path) == ["SER-20240301.csv"]


@pytest.mark.parametrize("bad", [float("nan"), float("inf")])
def test_failing_write_leaves_the_earlier_file_and_no_temporary(tmp_path, bad):
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 1, 1)])
    before = only_file(tmp_path).read_bytes()
    # Enough rows before the bad one that part of the file has gone to disk.
    rows = [rec(UTC, float(i), 0.0) for i in range(100_000)] + [rec(UTC, bad, 0.0)]
    with pytest.raises((ValueError, OverflowError)):
        DRAVCSV.write("SER", str(tmp_path), rows)
    assert only_file(tmp_path).read_bytes() == before


def test_write_reads_duck_typed_records(tmp_path):
    class Row:
        timestamp = UTC
        import_value = 7
        export_value = None

    DRAVCSV.write("SER", str(tmp_path), [Row()])
    assert only_file(tmp_path).read_bytes() == HEADER + b"2024-03-01 00:30:00+0000,7,\r\n"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda d: DRAVCSV.write(None, d, []), "Argument 'serial' has incorrect type (expected str, got NoneType)"),
        (lambda d: DRAVCSV.write("S", Path(d), []), "Argument 'output_file_path' has incorrect type"),
        (lambda d: DRAVCSV.write("S", d, ()), "Argument 'records' has incorrect type (expected list, got tuple)"),
        (lambda d: DRAVCSV.write("S", d, [], element_marker=1), "Argument 'element_marker'"),
        (lambda d: DRAVCSV.write_from_profile_records("S", d, None, date(2024, 1, 1)), "'profile_records'"),
        (lambda d: DRAVCSV.write_from_drav_readings("S", 5, []), "'output_dir'"),
        (lambda d: DRAVCSV.read(b"x"), "Argument 'csv_string' has incorrect type (expected str, got bytes)"),
        (lambda d: DRAVCSV.read_from_file(Path(d)), "Argument 'file_path'"),
    ],
)
def test_type_errors_before_touching_files(tmp_path, call, message):
    target = str(tmp_path / "new")
    with pytest.raises(TypeError) as caught:
        call(target)
    assert message in str(caught.value)
    assert not os.path.exists(target)


@pytest.mark.parametrize("serial", ["../SER", "a/SER", "/tmp/SER"])
def test_write_refuses_a_serial_that_leaves_the_folder(tmp_path, serial):
    folder = tmp_path / "out"
    with pytest.raises(ValueError, match="path separator"):
        DRAVCSV.write(serial, str(folder), [rec()])
    assert list(tmp_path.rglob("*.csv")) == []


def test_write_into_a_file_path_fails(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(FileExistsError):
        DRAVCSV.write("SER", str(blocker), [rec()])


# --------------------------------------------------------------------------------------------
# write_from_profile_records and write_from_drav_readings


def rows_of(folder) -> list[bytes]:
    return only_file(folder).read_bytes().split(b"\r\n")[1:-1]


@pytest.mark.parametrize(
    ("marker", "maps", "rows"),
    [
        (None, [{"import_a": 5, "import_b": 7, "export": 1}], [b"5,1", b"7,1"]),
        (None, [{"import_a": 5, "import_b": 5.0, "export": 1}], [b"5,1"]),
        (None, [{"import_b": 7}], [b"7,"]),
        (None, [{"export": 3}], []),
        ("A", [{"import_a": None, "import_b": 7}, {"import_a": 2, "import_b": 9, "export": 4}], [b"2,4"]),
        ("B", [{"import_a": 2, "import_b": 9}], [b"9,"]),
        ("a", [{"import_a": 5, "import_b": 7}], [b"5,", b"7,"]),
    ],
    ids=["both", "equal-imports", "only-b", "neither", "A-drops-missing", "B", "lower-a-takes-both"],
)
def test_profile_records_element_rules(tmp_path, marker, maps, rows):
    for m in maps:
        m["timestamp"] = "2024-03-01T00:30:00+00:00"
    DRAVCSV.write_from_profile_records("SER", str(tmp_path), maps, date(2024, 3, 1), marker)
    assert rows_of(tmp_path) == [b"2024-03-01 00:30:00+0000," + r for r in rows]


@pytest.mark.parametrize(
    ("timestamp", "time_text"),
    [
        ("2024-03-01", b"2024-03-01 00:00:00"),
        ("2024-03-01T00:30:00.5Z", b"2024-03-01 00:30:00+0000"),
        ("2024-03-01 00:30:00+05:30", b"2024-03-01 00:30:00+0530"),
        (UTC, b"2024-03-01 00:30:00+0000"),
    ],
)
def test_profile_records_time_forms(tmp_path, timestamp, time_text):
    maps = [{"timestamp": timestamp, "import_a": 1, "export": 2, "other": object()}]
    DRAVCSV.write_from_profile_records("SER", str(tmp_path), maps, date(2024, 3, 1))
    assert rows_of(tmp_path) == [time_text + b",1,2"]


def test_profile_records_a_lower_case_marker_names_the_file_for_a(tmp_path):
    DRAVCSV.write_from_profile_records("SER", str(tmp_path), [{"timestamp": UTC, "import_a": 1}], date(2024, 3, 1), "a")
    assert only_file(tmp_path).name == "SER-A-20240301.csv"


def test_profile_records_without_records_name_the_given_day(tmp_path):
    DRAVCSV.write_from_profile_records("SER", str(tmp_path), [{"timestamp": UTC}], date(2023, 7, 9), "B")
    path = only_file(tmp_path)
    assert path.name == "SER-B-20230709.csv"
    assert path.read_bytes() == b'"created_at","SER-B","SER-B_rev"\r\n'


@pytest.mark.parametrize(
    ("maps", "error"),
    [
        ([{"import_a": 1}], KeyError),
        ([{"timestamp": "not a time", "import_a": 1}], ValueError),
        ([{"timestamp": UTC, "import_a": "1"}], TypeError),
        ([{"timestamp": UTC, "import_a": 1, "export": "2"}], TypeError),
    ],
)
def test_profile_records_errors_before_any_folder_work(tmp_path, maps, error):
    target = tmp_path / "out"
    with pytest.raises(error):
        DRAVCSV.write_from_profile_records("SER", str(target), maps, date(2024, 3, 1))
    assert not target.exists()


def test_profile_records_look_up_errors_propagate(tmp_path):
    class Clash:
        """A key that collides with "import_a" and, once armed, cannot be compared."""

        armed = False

        def __hash__(self):
            return hash("import_a")

        def __eq__(self, other):
            if Clash.armed:
                raise LookupError("compared")
            return False

    maps = [{Clash(): 1, "timestamp": UTC, "import_a": 5}]
    Clash.armed = True
    with pytest.raises(LookupError, match="compared"):
        DRAVCSV.write_from_profile_records("SER", str(tmp_path), maps, date(2024, 3, 1))
    assert os.listdir(tmp_path) == []


def test_writers_convert_the_import_value_first(tmp_path):
    # As the record's constructor does: the first failing value names the error.
    calls = [
        lambda d: DRAVCSV.write_from_drav_readings("SER", d, [DRAVReading(UTC, "x", "y")]),
        lambda d: DRAVCSV.write_from_profile_records(
            "SER", d, [{"timestamp": UTC, "import_a": "x", "export": "y"}], date(2024, 3, 1)
        ),
    ]
    for call in calls:
        with pytest.raises(TypeError, match="'import_value'"):
            call(str(tmp_path))


def test_drav_readings(tmp_path):
    readings = [DRAVReading(UTC, 1500, 2.9), DRAVReading(START, None, -3)]
    DRAVCSV.write_from_drav_readings("SER", str(tmp_path), readings, "B")
    assert only_file(tmp_path).name == "SER-B-20240301.csv"
    assert rows_of(tmp_path) == [b"2024-03-01 00:30:00+0000,1500,2", b"2024-03-01 00:30:00,,-3"]
    with pytest.raises(TypeError, match="import_value"):
        DRAVCSV.write_from_drav_readings("SER", str(tmp_path / "x"), [DRAVReading(UTC, "1", 2)])
    assert not (tmp_path / "x").exists()


# --------------------------------------------------------------------------------------------
# read

GOOD = "2024-03-01 00:30:00+0000,1500,0"


@pytest.mark.parametrize(
    "line",
    [
        "",
        "   ",
        "2024-03-01 00:30:00+0000,NA,1",
        "2024-03-01 00:30:00+0000,1,NA",
        "2024-03-01 00:30:00+0000,-1,1",
        "2024-03-01 00:30:00+0000,1,-1",
        "2024-03-01 00:30:00+0000,,1",
        "2024-03-01 00:30:00+0000,1",
        "2024-03-01 00:30:00,1,2",
        '2024-03-01 00:30:00+0000,"1",2',
        "2024-03-01 00:30:00+0000,1,x",
        "2024-02-30 00:30:00+0000,1,2",
        "2024-03-01 24:00:00+0000,1,2",
        "2024-03-01 00:30:60+0000,1,2",
        "0000-03-01 00:30:00+0000,1,2",
        "2024-03-01 00:30:00+2400,1,2",
        "2024-03-01 00:30:00+01:0030,1,2",
        "2024-03-01 00:30:00+0100:30,1,2",
        "2024-03-01 00:30:00+0100.5,1,2",
        "2024-03-01 00:30:00+010000.1234567,1,2",
        "2024-03-01 00:30:00z,1,2",
        "2024-03-01T00:30:00+0000,1,2",
        "2024-3-001 00:30:00+0000,1,2",
    ],
)
def test_reader_skips_unreadable_rows(line):
    text = f"header\n{GOOD}\n{line}\n{GOOD}\n"
    assert len(DRAVCSV.read(text)) == 2


@pytest.mark.parametrize(
    ("line", "expected"),
    [
        (GOOD, (UTC, 1.5, 0.0)),
        ('"2024-03-01 00:30:00+0000",1500,0,extra,fields', (UTC, 1.5, 0.0)),
        ("  2024-03-01 00:30:00Z,1,2  \r", (UTC, 0.001, 0.002)),
        ("2024-3-1\t 0:30:0+01:00,-1.0, 1e3 ", (START.replace(tzinfo=timezone(timedelta(hours=1))), -0.001, 1.0)),
        (
            "2024-03- 1 00:30:00-00:30:15.5,1_000,+.5e-1",
            (
                START.replace(tzinfo=timezone(-timedelta(minutes=30, seconds=15, microseconds=500_000))),
                1.0,
                float(".05") / 1000.0,
            ),
        ),
        ("2024-03-01 00:30:00+0000,inf,-NaN", (UTC, float("inf"), float("nan"))),
        ("\u2003２０２４-03-01 00:30:00+0000,١٥٠٠,0\u3000", (UTC, 1.5, 0.0)),
    ],
    ids=[
        "plain",
        "quoted-time-extra-fields",
        "z-and-blanks",
        "short-fields",
        "offset-seconds",
        "inf-nan",
        "unicode-digits-and-spaces",
    ],
)
def test_reader_converts(line, expected):
    (record,) = DRAVCSV.read(f"header\n{line}\n")
    got = (record.timestamp, record.import_value, record.export_value)
    assert repr(got) == repr(expected)
    assert got[0].utcoffset() == expected[0].utcoffset()


def test_reader_drops_the_first_line_even_when_it_is_data():
    assert DRAVCSV.read(f"{GOOD}\n{GOOD}") and len(DRAVCSV.read(f"{GOOD}\n{GOOD}")) == 1
    assert DRAVCSV.read("") == [] and DRAVCSV.read(GOOD) == []


def test_reader_matches_float_exactly():
    texts = [
        "0.1",
        "1e-7",
        "123456789012345678901234567890",
        "2.2250738585072014e-308",
        "4.9e-324",
        "1e-400",
        "1e400",
        "9007199254740993",
        "-0",
        "0.30000000000000004",
        "1.7976931348623157e308",
        "1.7976931348623159e308",
        "5.",
        ".5E+2",
        "00012",
    ]
    lines = "".join(f"2024-03-01 00:30:00+0000,{t},{t}\n" for t in texts)
    got = [r.import_value for r in DRAVCSV.read("h\n" + lines)]
    assert [repr(g) for g in got] == [repr(float(t) / 1000.0) for t in texts]


def test_one_time_zone_object_per_offset():
    text = "h\n" + "".join(f"2024-03-01 00:{m:02d}:00+0100,1,1\n" for m in range(5))
    zones = {id(r.timestamp.tzinfo) for r in DRAVCSV.read(text)}
    assert len(zones) == 1


def test_read_splits_only_at_line_feeds_and_file_reading_at_every_line_end(tmp_path):
    text = f"h\n{GOOD}\r{GOOD}\r\n{GOOD}\n"
    assert len(DRAVCSV.read(text)) == 1  # "<row>\r<row>" is one line, whose export fails
    path = tmp_path / "f.csv"
    path.write_bytes(text.encode())
    assert len(DRAVCSV.read_from_file(str(path))) == 3


def test_read_internal_takes_any_line_stream():
    class Lines:
        def __init__(self, lines):
            self.lines = iter(lines)

        def readline(self):
            return next(self.lines, "")

        def __iter__(self):
            return self.lines

    assert len(DRAVCSV._read_internal(Lines(["h\n", GOOD + "\n", "x\n", GOOD]))) == 2
    assert len(DRAVCSV._read_internal(io.StringIO(f"h\n{GOOD}\n"))) == 1
    assert DRAVCSV._read_internal(io.StringIO("")) == []


def test_read_from_file_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        DRAVCSV.read_from_file(str(tmp_path / "missing.csv"))
    with pytest.raises(IsADirectoryError):
        DRAVCSV.read_from_file(str(tmp_path))
    bad = tmp_path / "bad.csv"
    bad.write_bytes(b"h\n" + GOOD.encode() + b"\n\xff\xfe\n")
    with pytest.raises(UnicodeDecodeError):
        DRAVCSV.read_from_file(str(bad))


def test_reader_honours_a_changed_na_value(monkeypatch):
    monkeypatch.setattr(DRAVCSVRecord, "NA_VALUE", "0")
    assert DRAVCSV.read(f"h\n{GOOD}\n") == []


# --------------------------------------------------------------------------------------------
# round trips and threads


def test_round_trip(tmp_path):
    records = [
        rec(UTC, 1234.9, -2.5),
        rec(START, 1.0, 1.0),  # naive: does not come back
        rec(UTC, None, 1.0),  # missing value: does not come back
        rec(START.replace(tzinfo=timezone(timedelta(hours=-7))), -999_999.99, 0.4),
    ]
    DRAVCSV.write("SER", str(tmp_path), records)
    back = DRAVCSV.read_from_file(str(only_file(tmp_path)))
    assert [(r.timestamp, r.import_value, r.export_value) for r in back] == [
        (UTC, 1.234, -0.002),
        (records[3].timestamp, -999.999, 0.0),
    ]
    assert back[1].timestamp.utcoffset() == timedelta(hours=-7)


@pytest.mark.parametrize(
    "operation, signature",
    [
        ("write", "(serial, output_file_path, records, element_marker=None)"),
        ("write_from_profile_records", "(serial, output_dir, profile_records, date, element_marker=None)"),
        ("read", "(csv_string)"),
        ("read_from_file", "(file_path)"),
        ("_read_internal", "(file_obj)"),
        ("write_from_drav_readings", "(serial, output_dir, readings, element_marker=None)"),
    ],
)
def test_signatures(operation, signature):
    assert str(inspect.signature(getattr(DRAVCSV, operation))) == signature


def test_arguments_by_name(tmp_path):
    one, two, three = (str(tmp_path / name) for name in ("one", "two", "three"))
    DRAVCSV.write(element_marker="A", records=[rec()], output_file_path=one, serial="SER")
    DRAVCSV.write_from_profile_records(
        element_marker="A",
        date=START.date(),
        output_dir=two,
        serial="SER",
        profile_records=[{"timestamp": UTC, "import_a": 1.0, "export": 2.0}],
    )
    DRAVCSV.write_from_drav_readings(
        element_marker="A", readings=[DRAVReading(UTC, 1.0, 2.0)], output_dir=three, serial="SER"
    )
    texts = [only_file(folder).read_text() for folder in (one, two, three)]
    assert texts[0] == texts[1] == texts[2]
    path = str(only_file(one))
    with open(path) as stream:
        reads = [
            DRAVCSV._read_internal(file_obj=stream),
            DRAVCSV.read(csv_string=texts[0]),
            DRAVCSV.read_from_file(file_path=path),
        ]
    assert [[(r.timestamp, r.import_value, r.export_value) for r in read] for read in reads] == [
        [(UTC, 0.001, 0.002)]
    ] * 3


def test_reader_writer_and_one_record_from_eight_threads(tmp_path):
    records = [rec(UTC + timedelta(minutes=30 * i), float(i), float(-i - 2)) for i in range(2000)]
    shared = records[0]  # written by every thread while the others render and read it
    text = HEADER.decode() + "".join(f"{r.to_csv_line()}\r\n" for r in records)
    barrier = threading.Barrier(8)
    errors = []

    def work(n):
        try:
            barrier.wait()
            for i in range(5):
                for k in range(200):
                    shared.import_value = n * 10_000 + i * 1000 + k
                    assert isinstance(shared.import_value, float)
                    assert shared.to_csv_line().endswith(",-2")
                DRAVCSV.write(f"S{n}", str(tmp_path), records)
                back = DRAVCSV.read_from_file(str(tmp_path / f"S{n}-20240301.csv"))
                assert len(back) == 2000 and back[-1].import_value == 1.999
                assert len(DRAVCSV.read(text)) == 2000
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(os.listdir(tmp_path)) == 8


# --------------------------------------------------------------------------------------------
# interrupts: long reads and writes answer Ctrl-C from inside, leaving nothing half-written


@pytest.mark.parametrize("wait", ["open", "read"])
def test_a_fifo_wait_answers_ctrl_c_within_a_second(tmp_path, wait):
    fifo = tmp_path / "SER-20240301.csv"
    os.mkfifo(fifo)
    # The reader waits in open() while no writer has the FIFO open, and in read() while one has
    # it open and writes nothing. A writer that lets go after three seconds ends the wait of a
    # reader deaf to signals, which then fails this test instead of hanging it.
    writer = [os.open(fifo, os.O_RDWR)] if wait == "read" else []

    def let_go():
        if not writer:
            writer.append(os.open(fifo, os.O_RDWR))
        os.close(writer.pop())

    late = threading.Timer(3.0, let_go)
    late.start()
    started = time.monotonic()
    try:
        with interrupted_after(0.2), pytest.raises(KeyboardInterrupt) as info:
            DRAVCSV.read_from_file(str(fifo))
        elapsed = time.monotonic() - started
    finally:
        late.cancel()
        late.join()
        for fd in writer:
            os.close(fd)
    assert elapsed < 1.0
    assert raised_inside(info.value, "read_from_file")


@pytest.fixture(scope="module")
def long_text():
    """A DRAV file text of 200,000 rows (about 7 MB)."""
    return HEADER.decode() + f"{GOOD}\r\n" * 200_000


@pytest.mark.parametrize(
    "argument, reader, function",
    [
        (str, DRAVCSV.read_from_file, "read_from_file"),
        (Path.read_text, DRAVCSV.read, "read"),
        (lambda path: io.StringIO(path.read_text()), DRAVCSV._read_internal, "_read_internal"),
    ],
    ids=["file", "text", "stream"],
)
def test_a_long_read_answers_ctrl_c(tmp_path, long_text, argument, reader, function):
    path = tmp_path / "SER-20240301.csv"
    path.write_text(long_text)
    given = argument(path)
    with interrupted_after(0.01, cpu=True), pytest.raises(KeyboardInterrupt) as info:
        reader(given)
    assert raised_inside(info.value, function)


def test_an_interrupted_write_leaves_the_earlier_file_and_no_temporary(tmp_path):
    DRAVCSV.write("SER", str(tmp_path), [rec(UTC, 1, 1)])
    before = only_file(tmp_path).read_bytes()
    rows = [rec(UTC, 1500.0, 0.0)] * 1_000_000  # about 33 MB of rows
    with interrupted_after(0.005, cpu=True), pytest.raises(KeyboardInterrupt) as info:
        DRAVCSV.write("SER", str(tmp_path), rows)
    assert raised_inside(info.value, "write")
    assert only_file(tmp_path).read_bytes() == before
