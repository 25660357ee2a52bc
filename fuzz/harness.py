"""What the fuzz targets share: the command line, the bounded atheris run and the seeded
mutation loop that stands in for it (no atheris installed, or --mutate).

    python fuzz/<target>.py [--seconds N] [--mutate] [--seed S] [--native] [--artifacts DIR/]

With --native the norvox modules are the coverage-instrumented build of `make fuzz`
(clang's -fsanitize=fuzzer-no-link, libFuzzer preloaded): their own edges guide the inputs.
Without it atheris instruments the Python code instead (the reference renditions), for a run
against an uninstrumented build.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable


def run(name: str, from_bytes: Callable[[bytes], None], from_rng: Callable[[random.Random], None]) -> None:
    """Run the target `name`: `from_bytes` checks one input made from the fuzzer's bytes,
    `from_rng` one input made from a seeded generator. A failed check raises."""
    parser = argparse.ArgumentParser(prog=name)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--mutate", action="store_true", help="seeded mutation loop, no atheris")
    parser.add_argument("--seed", type=int, default=6)
    parser.add_argument(
        "--native",
        action="store_true",
        help="the native modules carry coverage instrumentation: no Python instrumentation",
    )
    parser.add_argument("--artifacts", default="", help="where libFuzzer writes a failing input (a prefix)")
    args = parser.parse_args()
    try:
        if args.mutate:
            raise ImportError
        import atheris
    except ImportError:
        rng = random.Random(args.seed)
        end = time.monotonic() + args.seconds
        runs = 0
        while time.monotonic() < end:
            from_rng(rng)
            runs += 1
        print(f"{name}: {runs} inputs, seeded mutation loop (seed {args.seed}), clean")
        return

    if not args.native:
        atheris.instrument_all()
    atheris.Setup(
        [
            sys.argv[0],
            f"-max_total_time={int(args.seconds)}",
            "-print_final_stats=1",
            f"-artifact_prefix={args.artifacts}",
        ],
        from_bytes,
    )
    atheris.Fuzz()
