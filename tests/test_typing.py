"""The package's type information: committed stubs match a fresh generation, and a caller script
type-checks under mypy --strict against the installed package."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_committed_stubs_match_a_fresh_generation():
    done = subprocess.run(
        [sys.executable, "tools/generate_stubs.py", "--check"], cwd=ROOT, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_caller_script_passes_mypy_strict(tmp_path):
    # Run from a folder outside the source tree, so the installed package (with its stubs and
    # py.typed markers) is what mypy reads.
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(ROOT / "tests/typing/caller.py"),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr
