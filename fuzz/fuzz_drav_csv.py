"""Bounded fuzz run of DRAVCSV.read over mutated valid files and random text.

Every input must give a list of records (never an error, never a crash) that equals what a
plain Python rendition of the row rules gives (str.strip, split(","), strptime with the record's
pattern, float). With atheris installed the inputs come from it; otherwise, or with
--mutate, from a seeded mutation loop. See harness.py for the options.

    python fuzz/fuzz_drav_csv.py [--seconds N] [--mutate] [--seed S] [--native]
"""

from __future__ import annotations

import io
import random
from datetime import datetime

from harness import run

from norvox.drav.drav_csv import DRAVCSV
from norvox.drav.drav_csv_record import DRAVCSVRecord

SEED_TEXT = (
    '"created_at","SER-A","SER-A_rev"\r\n'
    "2024-03-01 00:30:00+0000,1500,0\r\n"
    '"2024-03-01 01:00:00+01:00",-2.5e3,17,x\r\n'
    "2024-3-1 1:0:0-00:30:15.25,NA,1\r\n"
    "2024-03-01 02:00:00Z, 1_000 ,-1\r\n"
    "2024-03-01 02:30:00,12,13\r\n"
    "\r\n"
)
ALPHABET = '0123456789:+-Z ,"\r\n\t._eEaNinf\u00a0\u2003\u0661\uff12\x1c'


def reference(text: str) -> list[tuple]:
    out = []
    stream = io.StringIO(text)
    stream.readline()
    for line in stream:
        parts = line.strip().split(",")
        if len(parts) < 3:
            continue
        time_text, imp, exp = parts[0].strip('"'), parts[1], parts[2]
        if "NA" in (imp, exp) or "-1" in (imp, exp):
            continue
        try:
            ts = datetime.strptime(time_text, DRAVCSVRecord.TIMESTAMP_FORMAT)
            values = float(imp) / 1000.0, float(exp) / 1000.0
        except (ValueError, IndexError):
            continue
        out.append((ts, ts.utcoffset(), *values))
    return out


def check(text: str) -> None:
    got = DRAVCSV.read(text)
    assert isinstance(got, list)
    mine = [(r.timestamp, r.timestamp.utcoffset(), r.import_value, r.export_value) for r in got]
    expected = reference(text)
    if repr(mine) != repr(expected):
        raise AssertionError(f"mismatch for {text!r}:\n  read:      {mine!r}\n  reference: {expected!r}")


def mutate(rng: random.Random, text: str) -> str:
    chars = list(text)
    for _ in range(rng.randint(1, 8)):
        op = rng.random()
        pos = rng.randrange(len(chars) + 1)
        if op < 0.4 and chars:
            chars[min(pos, len(chars) - 1)] = rng.choice(ALPHABET)
        elif op < 0.7:
            chars.insert(pos, rng.choice(ALPHABET))
        elif chars:
            del chars[min(pos, len(chars) - 1)]
    return "".join(chars)


def random_text(rng: random.Random) -> str:
    return "".join(chr(rng.choice((rng.randrange(128), rng.randrange(0x110000)))) for _ in range(rng.randrange(200)))


def from_rng(rng: random.Random) -> None:
    text = SEED_TEXT
    for _ in range(rng.randint(1, 4)):
        text = mutate(rng, text)
    check(text if rng.random() < 0.9 else random_text(rng))


def from_bytes(data: bytes) -> None:
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        rng = random.Random(fdp.ConsumeInt(8))
        text = SEED_TEXT
        for _ in range(1 + fdp.ConsumeIntInRange(0, 3)):
            text = mutate(rng, text)
        check(text)
    else:
        check(fdp.ConsumeUnicode(fdp.remaining_bytes()))


if __name__ == "__main__":
    run("fuzz_drav_csv", from_bytes, from_rng)
