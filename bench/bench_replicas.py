"""Benchmark of the replica checks against the peers a user would otherwise pick, in one run.

Gap search: `check_missing_files` against a standard-library walk (os.walk, re, datetime) and
against `find <root> -type f -name '*.csv'`. Comparison: `compare_replicas` against a
standard-library walk with os.stat and against two runs of `find <root> -type f -printf '%P %s\\n'`.
Goals: gap search at least 3x its peer and within 1.2x of find; comparison at least 2.5x its peer
and within 1.2x of the two finds.

Two replicas of 1,000 meter folders x 365 daily files (and of 100 folders) are generated in a
temporary folder, used by both checks and removed at the end. Caches cannot be dropped, so every
contender runs once untimed and then the timed runs alternate between contenders; the best run
counts. find writes to /dev/null. System calls per file are counted with strace -c on the smaller
trees, less a run of the same program on an empty folder.

The trees go where tempfile puts them (TMPDIR chooses the file system). Making them takes some
seconds; right after a mass deletion on the same ext4 file system it can take minutes, as inode
allocation passes over recently freed inodes.
"""

from __future__ import annotations

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from datetime import date, datetime, timedelta
from pathlib import Path

from norvox.profile_logs.replicas.mirror_diff import compare_replicas
from norvox.profile_logs.replicas.mirror_gaps import check_missing_files

START, END = date(2023, 1, 1), date(2023, 12, 31)
SIZES = [(1000, 365), (100, 365)]  # meter folders x daily files
RUNS = 3
GAP_PEER_GOAL, GAP_FIND_GOAL = 3.0, 1.2
DIFF_PEER_GOAL, DIFF_FIND_GOAL = 2.5, 1.2


# ---- the trees ----------------------------------------------------------------------------------


def make_file(path: str, size: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.ftruncate(fd, size)  # sparse: sizes without the disk space
    os.close(fd)


def make_replicas(root: Path, meters: int, days: int, seed: int) -> tuple[Path, Path, int, int]:
    """Two replicas of daily files; the first lacks about 1% of the days, the second differs
    from it in about 1.5% of the files (missing, extra, other size). Each folder also holds one
    file that is not ".csv". Returns both roots and their file counts."""
    rng = random.Random(seed)
    stamps = [(START + timedelta(days=i)).strftime("%Y%m%d") for i in range(days)]
    one, two = root / "one", root / "two"
    counts = [0, 0]
    for m in range(meters):
        serial = f"DDR{m:07d}"
        folders = [str(one / serial), str(two / serial)]
        for folder in folders:
            os.makedirs(folder)
            make_file(f"{folder}/index.txt", 100)
        for stamp in stamps:
            name = f"/{serial}-A-{stamp}.csv"
            size = 1500 + rng.randrange(1000)
            in_one = rng.random() >= 0.01
            roll = rng.random()
            in_two = (in_one and roll >= 0.005) or (not in_one and roll < 0.5)
            if in_one:
                make_file(folders[0] + name, size)
                counts[0] += 1
            if in_two:
                make_file(folders[1] + name, size + (rng.randrange(1, 100) if 0.005 <= roll < 0.01 else 0))
                counts[1] += 1
    return one, two, counts[0], counts[1]


# ---- the peers ----------------------------------------------------------------------------------

DATE_RE = re.compile(r".*-(\d{8})\.csv$")


def peer_day(name: str):
    match = DATE_RE.match(name)
    if not match:
        return None
    try:
        return datetime.strptime(match.group(1), "%Y%m%d").date()
    except ValueError:
        return None


def peer_gaps(root: str, start: date, end: date) -> dict:
    expected = {start + timedelta(days=i) for i in range((end - start).days + 1)}
    result = {}
    if not os.path.exists(root):
        return result
    for folder, _dirs, names in os.walk(root):
        found = set()
        for name in names:
            day = peer_day(name)
            if day is not None:
                found.add(day)
        if found:
            missing = sorted(expected - found)
            if missing:
                result[os.path.relpath(folder, root)] = missing
    return result


def peer_scan(base: str) -> dict:
    files = {}
    if not os.path.exists(base):
        return files
    cut = len(base) + 1
    for folder, _dirs, names in os.walk(base):
        for name in names:
            if not name.endswith(".csv"):
                continue
            path = os.path.join(folder, name)
            day = peer_day(name)
            try:
                size = os.stat(path).st_size
            except OSError:
                size = 0
            files[path[cut:]] = (path, size, day)
    return files


def peer_compare(one: str, two: str) -> tuple:
    a, b = peer_scan(one), peer_scan(two)
    only_1 = sorted(a.keys() - b.keys())
    only_2 = sorted(b.keys() - a.keys())
    different, identical = [], 0
    for key in sorted(a.keys() & b.keys()):
        size_1, size_2 = a[key][1], b[key][1]
        if size_1 != size_2:
            different.append((key, size_1, size_2, size_2 - size_1))
        else:
            identical += 1
    return only_1, only_2, different, identical, len(a), len(b)


def report_tuple(report) -> tuple:
    return (
        [f.relative_path for f in report.only_in_folder_1],
        [f.relative_path for f in report.only_in_folder_2],
        [(d.relative_path, d.size_1, d.size_2, d.size_diff) for d in report.different_files],
        report.identical_files,
        report.total_files_1,
        report.total_files_2,
    )


def find(*args: str) -> None:
    subprocess.run(["find", *args], stdout=subprocess.DEVNULL, check=True)


# ---- timing -------------------------------------------------------------------------------------


def best_times(contenders: dict) -> dict:
    """Warm every contender with one untimed run, then alternate timed runs; best of RUNS."""
    for run in contenders.values():
        run()
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(RUNS):
        for name, run in contenders.items():
            t0 = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def verdict(ok: bool) -> str:
    return "ok" if ok else "MISSED"


def bench_tree(one: Path, two: Path, files_1: int, files_2: int, meters: int, days: int) -> None:
    print(f"-- {meters:,} folders x {days} days: replica 1 {files_1:,} files, replica 2 {files_2:,}")
    s1, s2 = str(one), str(two)

    assert check_missing_files(one, START, END) == peer_gaps(s1, START, END)
    gaps = best_times(
        {
            "native": lambda: check_missing_files(one, START, END),
            "peer": lambda: peer_gaps(s1, START, END),
            "find": lambda: find(s1, "-type", "f", "-name", "*.csv"),
        }
    )
    peer_ratio, find_ratio = gaps["peer"] / gaps["native"], gaps["native"] / gaps["find"]
    print(f"  gap search   check_missing_files {gaps['native']:8.3f} s")
    print(
        f"               os.walk+re+datetime {gaps['peer']:8.3f} s   ours {peer_ratio:5.1f}x faster"
        f"  (goal >= {GAP_PEER_GOAL}x)  {verdict(peer_ratio >= GAP_PEER_GOAL)}"
    )
    print(
        f"               find -name '*.csv'  {gaps['find']:8.3f} s   ours {find_ratio:5.2f}x its time"
        f" (goal <= {GAP_FIND_GOAL}x) {verdict(find_ratio <= GAP_FIND_GOAL)}"
    )

    assert report_tuple(compare_replicas(one, two)) == peer_compare(s1, s2)
    diff = best_times(
        {
            "native": lambda: compare_replicas(one, two),
            "peer": lambda: peer_compare(s1, s2),
            "find": lambda: (
                find(s1, "-type", "f", "-printf", "%P %s\n"),
                find(s2, "-type", "f", "-printf", "%P %s\n"),
            ),
        }
    )
    peer_ratio, find_ratio = diff["peer"] / diff["native"], diff["native"] / diff["find"]
    print(f"  comparison   compare_replicas    {diff['native']:8.3f} s")
    print(
        f"               os.walk+os.stat     {diff['peer']:8.3f} s   ours {peer_ratio:5.1f}x faster"
        f"  (goal >= {DIFF_PEER_GOAL}x)  {verdict(peer_ratio >= DIFF_PEER_GOAL)}"
    )
    print(
        f"               2 x find -printf    {diff['find']:8.3f} s   ours {find_ratio:5.2f}x its time"
        f" (goal <= {DIFF_FIND_GOAL}x) {verdict(find_ratio <= DIFF_FIND_GOAL)}"
    )


# ---- system calls -------------------------------------------------------------------------------


def strace_counts(command: list[str], scratch: Path) -> dict[str, int]:
    """Calls per system call of `command` (and its threads), from strace -c."""
    out = scratch / "strace.txt"
    subprocess.run(["strace", "-f", "-c", "-o", str(out), *command], stdout=subprocess.DEVNULL, check=True)
    counts = {}
    for line in out.read_text().splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
            counts[fields[-1]] = int(fields[3])
    return counts


def per_file(command, empty_command, files: int, scratch: Path) -> str:
    busy, idle = strace_counts(command, scratch), strace_counts(empty_command, scratch)
    extra = {name: busy.get(name, 0) - idle.get(name, 0) for name in busy}
    total = sum(extra.values()) / files
    top = sorted(((n, c) for n, c in extra.items() if c > 0), key=lambda nc: -nc[1])[:4]
    return f"{total:6.3f}  (" + ", ".join(f"{n} {c / files:.3f}" for n, c in top) + ")"


def bench_syscalls(one: Path, two: Path, files_1: int, scratch: Path) -> None:
    if shutil.which("strace") is None or subprocess.run(["strace", "-o", "/dev/null", "true"]).returncode != 0:
        print("-- system calls per file: strace not available")
        return
    empty = scratch / "empty"
    empty.mkdir(exist_ok=True)
    gaps = (
        "import sys; from datetime import date; from norvox.profile_logs.replicas.mirror_gaps import "
        "check_missing_files as c; c(sys.argv[1], date(2023, 1, 1), date(2023, 12, 31))"
    )
    diff = (
        "import sys; from norvox.profile_logs.replicas.mirror_diff import compare_replicas as c; "
        "c(sys.argv[1], sys.argv[2])"
    )
    py = [sys.executable, "-c"]
    printf = ["-type", "f", "-printf", "%P %s\n"]
    print(f"-- system calls per file (strace -c, replica 1 of {files_1:,} files, less an empty run)")
    print("  check_missing_files    ", per_file(py + [gaps, str(one)], py + [gaps, str(empty)], files_1, scratch))
    print(
        "  find -name '*.csv'     ",
        per_file(
            ["find", str(one), "-type", "f", "-name", "*.csv"],
            ["find", str(empty), "-type", "f", "-name", "*.csv"],
            files_1,
            scratch,
        ),
    )
    print(
        "  compare_replicas (1 vs 1, per file and side)",
        per_file(py + [diff, str(one), str(one)], py + [diff, str(empty), str(empty)], 2 * files_1, scratch),
    )
    print(
        "  find -printf           ",
        per_file(["find", str(one), *printf], ["find", str(empty), *printf], files_1, scratch),
    )


def main() -> None:
    scratch = Path(tempfile.mkdtemp(prefix="bench-replicas-"))
    try:
        trees = []
        for meters, days in SIZES:
            t0 = time.perf_counter()
            made = make_replicas(scratch / f"t{meters}", meters, days, seed=meters)
            print(f"-- generated {meters:,} x {days} trees in {time.perf_counter() - t0:.1f} s")
            trees.append((made, meters, days))
        for made, meters, days in trees:
            bench_tree(*made, meters, days)
        one, two, files_1, _ = trees[-1][0]
        bench_syscalls(one, two, files_1, scratch)
    finally:
        subprocess.run(["rm", "-rf", str(scratch)], check=False)


if __name__ == "__main__":
    main()
