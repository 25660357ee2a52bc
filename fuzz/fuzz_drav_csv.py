"""Bounded fuzz run of DRAVCSV.read over mutated valid files and random text.

Every input must give a list of records (never an error, never a crash) that equals what a
plain Python rendition of the row rules gives (str.strip, split(","), strptime with the record's
pattern, float). With atheris installed the inputs come from it; otherwise, or with
--mutate, from a seeded mutation loop.

    python fuzz/fuzz_drav_csv.py [--seconds N] [--mutate] [--seed S]
"""

from __future__ import annotations

import argparse
import io
import random
import sys
import time
from datetime import datetime

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
ALPHABET = "0123456789:+-Z ,\"\r\n\t._eEaNinf\u00a0\u2003\u0661\uff12\x1c"


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
    return "".join(chr(rng.choice((rng.randrange(128), rng.randrange(0x110000))))
                   for _ in range(rng.randrange(200)))


def mutation_loop(seconds: float, seed: int) -> int:
    rng = random.Random(seed)
    end = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < end:
        text = SEED_TEXT
        for _ in range(rng.randint(1, 4)):
            text = mutate(rng, text)
        check(text if rng.random() < 0.9 else random_text(rng))
        runs += 1
    return runs


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--mutate", action="store_true", help="seeded mutation loop, no atheris")
    parser.add_argument("--seed", type=int, default=6)
    args = parser.parse_args()
    try:
        if args.mutate:
            raise ImportError
        import atheris
    except ImportError:
        runs = mutation_loop(args.seconds, args.seed)
        print(f"fuzz: {runs} inputs, seeded mutation loop (seed {args.seed}), clean")
        return

    def one_input(data: bytes) -> None:
        fdp = atheris.FuzzedDataProvider(data)
        if fdp.ConsumeBool():
            rng = random.Random(fdp.ConsumeInt(8))
            text = SEED_TEXT
            for _ in range(1 + fdp.ConsumeIntInRange(0, 3)):
                text = mutate(rng, text)
            check(text)
        else:
            check(fdp.ConsumeUnicode(fdp.remaining_bytes()))

    # The native reader is not instrumented; coverage of the Python reference steers the inputs.
    atheris.instrument_all()
    atheris.Setup([sys.argv[0], f"-max_total_time={int(args.seconds)}", "-print_final_stats=1"],
                  one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
