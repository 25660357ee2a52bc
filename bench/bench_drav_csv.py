"""DRAV CSV files: norvox's native reader and writer against standard-library peers.

One run, one machine. Reads a 1,000,000-row file and 10,000 daily files of 48 rows, against
  (a) csv.reader + datetime.strptime with the record's pattern + float + a __slots__ record,
  (b) the same with datetime.fromisoformat,
  (c) a floor: a loop that only builds the same objects (date-times, floats, DRAVCSVRecord)
      from numbers already parsed.
Writes the same rows against csv.writer + strftime. Peak memory of the large read is measured
in a fresh process (peak RSS growth against the result's own RSS plus the file's size).
Goals: read >= 25x (a), >= 8x (b), <= 2x (c); write >= 5x.
"""

from __future__ import annotations

import csv
import gc
import os
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone

from norvox.drav.drav_csv import DRAVCSV
from norvox.drav.drav_csv_record import DRAVCSVRecord

BIG_ROWS = 1_000_000
DAILY_FILES = 10_000
DAILY_ROWS = 48
PATTERN = DRAVCSVRecord.TIMESTAMP_FORMAT


class SlotsRecord:
    __slots__ = ("timestamp", "import_value", "export_value")

    def __init__(self, timestamp, import_value, export_value):
        self.timestamp = timestamp
        self.import_value = import_value
        self.export_value = export_value


def make_records(count: int, start: datetime) -> list[DRAVCSVRecord]:
    step = timedelta(minutes=30)
    return [
        DRAVCSVRecord(start + step * i, float((i * 7919) % 250_000), float((i * 104_729) % 9_000)) for i in range(count)
    ]


def peer_read(path: str, parse) -> list[SlotsRecord]:
    out = []
    with open(path, newline="") as f:
        rows = csv.reader(f)
        next(rows, None)
        for row in rows:
            if len(row) < 3 or row[1] in ("NA", "-1") or row[2] in ("NA", "-1"):
                continue
            try:
                out.append(SlotsRecord(parse(row[0]), float(row[1]) / 1000.0, float(row[2]) / 1000.0))
            except (ValueError, IndexError):
                continue
    return out


def peer_strptime(path):
    return peer_read(path, lambda text: datetime.strptime(text, PATTERN))


def peer_isoformat(path):
    return peer_read(path, datetime.fromisoformat)


def parsed_numbers(records):
    """What a parser has in hand before it builds objects: plain numbers per row."""
    out = []
    for r in records:
        t = r.timestamp
        out.append((t.year, t.month, t.day, t.hour, t.minute, t.second, int(r.import_value), int(r.export_value)))
    return out


def floor_build(numbers):
    utc = timezone.utc
    return [
        DRAVCSVRecord(datetime(y, mo, d, h, mi, s, 0, utc), i / 1000.0, e / 1000.0)
        for (y, mo, d, h, mi, s, i, e) in numbers
    ]


def peer_write(folder: str, serial: str, records) -> None:
    path = os.path.join(folder, f"{serial}-{records[0].timestamp:%Y%m%d}.csv")
    with open(path, "w", newline="") as f:
        w = csv.writer(f, quoting=csv.QUOTE_ALL)
        w.writerow(["created_at", serial, serial + "_rev"])
        for r in records:
            f.write(f"{r.timestamp.strftime(PATTERN)},{int(r.import_value)},{int(r.export_value)}\r\n")


def peer_write_replacing(folder: str, serial: str, records) -> None:
    """The peer with the writer's own safety: a temporary file in the folder, then a rename."""
    path = os.path.join(folder, f"{serial}-{records[0].timestamp:%Y%m%d}.csv")
    fd, temp = tempfile.mkstemp(dir=folder)
    with open(fd, "w", newline="") as f:
        w = csv.writer(f, quoting=csv.QUOTE_ALL)
        w.writerow(["created_at", serial, serial + "_rev"])
        for r in records:
            f.write(f"{r.timestamp.strftime(PATTERN)},{int(r.import_value)},{int(r.export_value)}\r\n")
    os.replace(temp, path)


def timed(fn, *args, repeat=1):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn(*args)
        best = min(best, time.perf_counter() - start)
        del result
    return best


def over_files(fn, paths):
    for p in paths:
        fn(p)


def report(title, ours, peers):
    print(f"  {title}: norvox {ours * 1e3:9.1f} ms")
    for name, t, goal in peers:
        ratio = t / ours
        verdict = "info" if goal is None else "ok" if goal(ratio) else "MISSED"
        print(f"    vs {name:<28} {t * 1e3:9.1f} ms   ratio {ratio:6.2f}x   [{verdict}]")


def memory_probe(path: str) -> None:
    """Run in a fresh process: peak RSS growth of one large read against what stays."""

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise LookupError(field)

    gc.collect()
    base = status("VmRSS")
    records = DRAVCSV.read_from_file(path)
    print(base, status("VmHWM"), status("VmRSS"), len(records))


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--memory":
        memory_probe(sys.argv[2])
        return
    start = datetime(2024, 3, 1, tzinfo=timezone.utc)
    with tempfile.TemporaryDirectory() as tmp:
        big = make_records(BIG_ROWS, start)
        big_dir = os.path.join(tmp, "big")
        DRAVCSV.write("SER1", big_dir, big)
        big_path = os.path.join(big_dir, os.listdir(big_dir)[0])
        size = os.path.getsize(big_path)
        daily_dir = os.path.join(tmp, "daily")
        daily = [make_records(DAILY_ROWS, start + timedelta(days=d)) for d in range(DAILY_FILES)]
        for d, records in enumerate(daily):
            DRAVCSV.write(f"M{d:05d}", daily_dir, records)
        daily_paths = sorted(os.path.join(daily_dir, n) for n in os.listdir(daily_dir))

        print(f"DRAV CSV read: {BIG_ROWS:,} rows ({size / 1e6:.1f} MB), and {DAILY_FILES:,} files of {DAILY_ROWS} rows")
        numbers = parsed_numbers(big)
        ours = timed(DRAVCSV.read_from_file, big_path, repeat=3)
        report(
            "1,000,000-row file",
            ours,
            [
                ("(a) csv+strptime+float", timed(peer_strptime, big_path), lambda r: r >= 25),
                ("(b) csv+fromisoformat+float", timed(peer_isoformat, big_path, repeat=2), lambda r: r >= 8),
                ("(c) floor: build objects", timed(floor_build, numbers, repeat=2), lambda r: r >= 0.5),
            ],
        )
        del numbers
        daily_numbers = [parsed_numbers(r) for r in daily]
        ours = timed(over_files, DRAVCSV.read_from_file, daily_paths, repeat=3)
        daily_texts = [open(p).read() for p in daily_paths]
        report(
            f"{DAILY_FILES:,} daily files",
            ours,
            [
                ("norvox read() of the texts", timed(over_files, DRAVCSV.read, daily_texts, repeat=3), None),
                ("(a) csv+strptime+float", timed(over_files, peer_strptime, daily_paths), lambda r: r >= 25),
                (
                    "(b) csv+fromisoformat+float",
                    timed(over_files, peer_isoformat, daily_paths, repeat=2),
                    lambda r: r >= 8,
                ),
                (
                    "(c) floor: build objects",
                    timed(over_files, floor_build, daily_numbers, repeat=2),
                    lambda r: r >= 0.5,
                ),
            ],
        )
        del daily_numbers

        print("DRAV CSV write: the same rows")
        out_dir = os.path.join(tmp, "out")
        peer_dir = os.path.join(tmp, "peer")
        os.makedirs(peer_dir)
        ours = timed(DRAVCSV.write, "SER1", out_dir, big, repeat=3)
        report(
            "1,000,000-row file",
            ours,
            [
                ("csv.writer+strftime", timed(peer_write, peer_dir, "SER1", big), lambda r: r >= 5),
            ],
        )

        def ours_daily(daily=daily):
            for d, records in enumerate(daily):
                DRAVCSV.write(f"M{d:05d}", out_dir, records)

        def peer_daily(write=peer_write, daily=daily):
            for d, records in enumerate(daily):
                write(peer_dir, f"M{d:05d}", records)

        ours = timed(ours_daily, repeat=2)
        report(
            f"{DAILY_FILES:,} daily files",
            ours,
            [
                ("csv.writer+strftime", timed(peer_daily, repeat=2), lambda r: r >= 5),
                ("the same, temporary+rename", timed(peer_daily, peer_write_replacing, repeat=2), None),
            ],
        )
        del big, daily

        probe = subprocess.run(
            [sys.executable, __file__, "--memory", big_path], capture_output=True, text=True, check=True
        )
        base, peak, after, count = (int(x) for x in probe.stdout.split())
        result_bytes = after - base
        growth = peak - base
        budget = result_bytes + size
        verdict = "ok" if growth <= budget else "MISSED"
        print("Peak memory of the 1,000,000-row read (fresh process, RSS)")
        print(
            f"  peak growth {growth / 2**20:7.1f} MiB; result objects {result_bytes / 2**20:7.1f} MiB"
            f" + file {size / 2**20:5.1f} MiB = {budget / 2**20:7.1f} MiB"
            f"   ratio {growth / budget:5.2f}   [{verdict}]"
        )


if __name__ == "__main__":
    main()
