"""A pytest plugin for `make sanitize`, which loads it with `-p tests.sanitize_plugin`.

The sanitizer run is about the native modules as this process loads them: every test runs
here under the sanitizer build, and a test that starts another program (a job run as a
subprocess, a fresh interpreter) is skipped at the point where it would start it, since what
such a test checks runs in that other process. Nothing has to be declared: a new test file
joins the sanitizer run by being collected, and the parts of it that run in-process are
checked."""

from __future__ import annotations

import subprocess

import pytest

REASON = "starts another program; the sanitizer run checks this process only"


def _no_programs(*args, **kwargs):
    pytest.skip(REASON)


def pytest_configure(config):
    # subprocess.run, check_output and the tests' own helpers all start programs through Popen.
    subprocess.Popen = _no_programs
