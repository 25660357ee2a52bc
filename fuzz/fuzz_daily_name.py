"""Bounded fuzz run of the daily file-name rule, extract_date_from_filename.

Every name must give what the rule's own statement gives: an anchored match of DATE_PATTERN
(".*-(\\d{8})\\.csv$", its digits read as ASCII ones) whose eight digits strptime reads as a
real day with "%Y%m%d", else None; never an error. Names come from atheris (mostly shaped like
daily names, else any text) or, without it or with --mutate, from a seeded generator. See
harness.py for the options.

    python fuzz/fuzz_daily_name.py [--seconds N] [--mutate] [--seed S] [--native]
"""

from __future__ import annotations

import random
import re
from datetime import datetime

from harness import run

from norvox.profile_logs.replicas.mirror_gaps import DATE_PATTERN, extract_date_from_filename

# Digits of other scripts are left to the implementation (it reads ASCII digits only).
ASCII_PATTERN = re.compile(DATE_PATTERN.pattern, re.ASCII)
PIECES = [
    "-",
    ".csv",
    ".CSV",
    "\n",
    "\r",
    " ",
    "0",
    "1",
    "2",
    "9",
    "2024",
    "0229",
    "1231",
    "0000",
    "\u0661",
    "é",
    "/",
    "A",
    "-20210915.csv",
]
DIGITS = "0123456789" * 3 + "\u0661\uff12 x-"


def reference(name: str):
    match = ASCII_PATTERN.match(name)
    if match is None:
        return None
    try:
        return datetime.strptime(match.group(1), "%Y%m%d").date()
    except ValueError:
        return None


def check(name: str) -> None:
    got = extract_date_from_filename(name)
    expected = reference(name)
    if got != expected or type(got) is not type(expected):
        raise AssertionError(f"mismatch for {name!r}: rule gives {got!r}, reference {expected!r}")


def shaped(prefix: str, digits: str, suffix: str) -> str:
    """A name shaped like a daily one: prefix, "-", the digits, ".csv", suffix."""
    return f"{prefix}-{digits}.csv{suffix}"


def from_rng(rng: random.Random) -> None:
    if rng.random() < 0.7:
        prefix = "".join(rng.choice(PIECES) for _ in range(rng.randrange(4)))
        digits = "".join(rng.choice(DIGITS) for _ in range(rng.choice((7, 8, 8, 8, 9))))
        suffix = rng.choice(("", "", "", "\n", "\n\n", " ", ".bak"))
        check(shaped(prefix, digits, suffix))
    else:
        check("".join(rng.choice(PIECES) for _ in range(rng.randrange(8))))


def from_bytes(data: bytes) -> None:
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        prefix = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
        digits = "".join(DIGITS[b % len(DIGITS)] for b in fdp.ConsumeBytes(fdp.ConsumeIntInRange(7, 9)))
        check(shaped(prefix, digits, fdp.ConsumeUnicode(2)))
    else:
        check(fdp.ConsumeUnicode(fdp.remaining_bytes()))


if __name__ == "__main__":
    run("fuzz_daily_name", from_bytes, from_rng)
