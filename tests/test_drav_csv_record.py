"""DRAVCSVRecord: the converting constructor, the row text and the string representation."""

from __future__ import annotations

import copy
import gc
import inspect
import pickle
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import pytest

from norvox.drav.drav_csv_record import DRAVCSVRecord

START = datetime(2024, 3, 1, 0, 30)
UTC = START.replace(tzinfo=timezone.utc)


@pytest.mark.parametrize(
    ("timestamp", "values", "line", "text"),
    [
        (
            UTC,
            (5, 7),
            "2024-03-01 00:30:00+0000,5,7",
            "timestamp=2024-03-01 00:30:00+00:00, import_value=5.0, export_value=7.0",
        ),
        (
            START,
            (None, None),
            "2024-03-01 00:30:00,NA,NA",
            "timestamp=2024-03-01 00:30:00, import_value=None, export_value=None",
        ),
        (
            UTC.replace(microsecond=123),
            (12.9, -2.7),
            "2024-03-01 00:30:00+0000,12,-2",
            "timestamp=2024-03-01 00:30:00.000123+00:00, import_value=12.9, export_value=-2.7",
        ),
        (
            START.replace(tzinfo=timezone(timedelta(hours=1))),
            (-0.4, 2.5e-05),
            "2024-03-01 00:30:00+0100,0,0",
            "timestamp=2024-03-01 00:30:00+01:00, import_value=-0.4, export_value=2.5e-05",
        ),
        (
            UTC,
            (0.0001, 0.00001),
            "2024-03-01 00:30:00+0000,0,0",
            "timestamp=2024-03-01 00:30:00+00:00, import_value=0.0001, export_value=1e-05",
        ),
    ],
    ids=["integers-at-utc", "missing-naive", "truncation-microseconds", "offset-small", "tiny"],
)
def test_examples(timestamp, values, line, text):
    record = DRAVCSVRecord(timestamp, *values)
    assert record.to_csv_line() == line
    assert str(record) == text
    assert repr(record) == text


@pytest.mark.parametrize(
    ("given", "stored"),
    [
        (None, None),
        (2.5, 2.5),
        (5, 5.0),
        (True, 1.0),
        (False, 0.0),
        (Decimal("1.25"), 1.25),
        (Fraction(1, 4), 0.25),
        (2**53 + 1, float(2**53)),
    ],
    ids=["none", "float", "int", "true", "false", "decimal", "fraction", "big-int-rounds"],
)
def test_constructor_converts_numbers(given, stored):
    record = DRAVCSVRecord(UTC, given, given)
    for value in (record.import_value, record.export_value):
        assert value == stored and type(value) is type(stored)


def test_float_is_stored_unchanged():
    value = 2.5
    assert DRAVCSVRecord(UTC, value, None).import_value is value


@pytest.mark.parametrize(
    ("import_value", "export_value", "error", "message"),
    [
        ("5", 1.0, TypeError, "Argument 'import_value' has incorrect type (expected float, got str)"),
        (1.0, b"5", TypeError, "Argument 'export_value' has incorrect type (expected float, got bytes)"),
        ([1], 1.0, TypeError, "Argument 'import_value' has incorrect type (expected float, got list)"),
        (1.0, {}, TypeError, "Argument 'export_value' has incorrect type (expected float, got dict)"),
        ("x", [], TypeError, "'import_value'"),  # the first failing argument stops construction
        (10**400, 1.0, OverflowError, "int too large to convert to float"),
        (1j, 1.0, TypeError, "complex"),  # a number whose float() fails raises its own error
    ],
)
def test_constructor_refuses(import_value, export_value, error, message):
    with pytest.raises(error) as caught:
        DRAVCSVRecord(UTC, import_value, export_value)
    assert message in str(caught.value)


def test_constructor_takes_keywords_and_requires_all_three():
    record = DRAVCSVRecord(export_value=2, import_value=1, timestamp="anything")
    assert (record.timestamp, record.import_value, record.export_value) == ("anything", 1.0, 2.0)
    with pytest.raises(TypeError):
        DRAVCSVRecord(UTC, 1.0)


def test_signatures():
    assert str(inspect.signature(DRAVCSVRecord)) == "(timestamp, import_value, export_value)"
    assert str(inspect.signature(DRAVCSVRecord.to_csv_line)) == "(self, /)"


def test_class_constants():
    assert DRAVCSVRecord.NA_VALUE == "NA"
    assert DRAVCSVRecord.TIMESTAMP_FORMAT == "%Y-%m-%d %H:%M:%S%z"


@pytest.mark.parametrize(
    ("value", "error"),
    [(float("nan"), ValueError), (float("inf"), OverflowError), (float("-inf"), OverflowError)],
)
def test_row_of_a_value_without_whole_number_fails(value, error):
    record = DRAVCSVRecord(UTC, 1.0, value)
    with pytest.raises(error):
        record.to_csv_line()
    assert str(record).endswith(f"export_value={value!r}")


@pytest.mark.parametrize(
    ("timestamp", "value", "line"),
    [
        (UTC, 1e20, "2024-03-01 00:30:00+0000,100000000000000000000,NA"),
        (UTC, -9.9e18, "2024-03-01 00:30:00+0000,-9900000000000000000,NA"),
        (START.replace(tzinfo=timezone(timedelta(hours=-5, seconds=-30))), -0.9, "2024-03-01 00:30:00-050030,0,NA"),
        (
            START.replace(tzinfo=timezone(timedelta(minutes=90, microseconds=7))),
            3.0,
            "2024-03-01 00:30:00+013000.000007,3,NA",
        ),
        (datetime(5, 1, 2, 3, 4, 5), 1.0, "0005-01-02 03:04:05,1,NA"),
    ],
    ids=["beyond-int64", "large-negative", "offset-seconds", "offset-microseconds", "early-year"],
)
def test_row_text_edges(timestamp, value, line):
    assert DRAVCSVRecord(timestamp, value, None).to_csv_line() == line


def test_row_text_follows_the_class_constants():
    class Custom(DRAVCSVRecord):
        NA_VALUE = "-"
        TIMESTAMP_FORMAT = "%d.%m.%Y"

    assert Custom(UTC, None, 2.0).to_csv_line() == "01.03.2024,-,2"


def test_fields_are_assignable_with_the_same_conversion():
    record = DRAVCSVRecord(UTC, 1.0, 2.0)
    record.import_value = 3
    record.timestamp = START
    assert record.import_value == 3.0 and record.timestamp is START
    with pytest.raises(TypeError, match="export_value"):
        record.export_value = "4"
    assert record.export_value == 2.0


def test_copy_and_pickle_keep_the_fields():
    record = DRAVCSVRecord(UTC, 1.5, None)
    for clone in (copy.copy(record), pickle.loads(pickle.dumps(record))):
        assert (clone.timestamp, clone.import_value, clone.export_value) == (UTC, 1.5, None)


def test_record_in_a_reference_cycle_is_collected():
    class Holder:
        pass

    holder = Holder()
    record = DRAVCSVRecord(holder, 1.0, 2.0)
    holder.record = record
    probe = [record]
    import weakref

    alive = weakref.ref(holder)
    del holder, record, probe
    gc.collect()
    assert alive() is None
