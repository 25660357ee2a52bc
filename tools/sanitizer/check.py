"""Checks of the sanitizer settings that `make sanitize` runs the suite under, made in programs
started here with this process's environment (the Makefile runs this with those settings):

- a program that leaks nothing passes;
- a leak (memory malloc'd through ctypes and dropped) fails its program, with the leak reported;
- the leak is still reported, and the leak check does not die, when a dynamic TLS block lies
  16 bytes past a page start, where the sanitizer runtimes of GCC up to 13 and LLVM up to 16
  take it for an old glibc allocator's header and hand the leak check a range read out of the
  allocator's own chunk header ("Tracer caught signal 11"). Where the suite's blocks land follows
  the heap layout, so without this check the fault shows on one machine and not on the next.

Usage: check.py LIBRARY, LIBRARY being tools/sanitizer/tls_block.c built as a shared library.
Ends with status 1 and one line per failed check.
"""

from __future__ import annotations

import os
import subprocess
import sys

LEAK_SIZE = 31337

PLANT_LEAK = f"""
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc({LEAK_SIZE})
"""

PLACE_TLS_BLOCK = """
import ctypes, sys
library = ctypes.CDLL(sys.argv[1])
library.place_block_after_page_start.restype = ctypes.c_size_t
print(library.place_block_after_page_start() % 4096)
"""

LEAK_REPORTED = f"Direct leak of {LEAK_SIZE} byte(s)"
CHECK_DIED = "LeakSanitizer has encountered a fatal error"


def run(code: str, *args: str, asan_options: str = "") -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if asan_options:
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), asan_options]))
    return subprocess.run(
        [sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, timeout=300, check=False
    )


def failures(library: str) -> list[str]:
    found = []

    clean = run("import ctypes")
    if clean.returncode != 0:
        found.append(f"a program that leaks nothing failed (status {clean.returncode}):\n{clean.stderr}")

    leak = run(PLANT_LEAK)
    if leak.returncode == 0 or LEAK_REPORTED not in leak.stderr:
        found.append(f"a planted leak was not reported (status {leak.returncode}):\n{leak.stderr}")

    # A freed chunk comes back at once only without the allocator's quarantine.
    placed = run(
        PLACE_TLS_BLOCK + PLANT_LEAK,
        library,
        asan_options="quarantine_size_mb=0:thread_local_quarantine_size_kb=0",
    )
    if placed.stdout.strip() != "16":
        found.append(f"the TLS block could not be placed 16 bytes past a page start:\n{placed.stdout}{placed.stderr}")
    elif CHECK_DIED in placed.stderr or LEAK_REPORTED not in placed.stderr:
        found.append(
            f"with a TLS block 16 bytes past a page start, the planted leak was not reported:\n{placed.stderr}"
        )
    return found


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = failures(sys.argv[1])
    for failure in found:
        print(f"sanitizer check failed: {failure}", file=sys.stderr)
    if not found:
        print("sanitizer checks: leaks reported, also beside a TLS block past a page start; clean runs pass")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
