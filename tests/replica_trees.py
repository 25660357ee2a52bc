"""Temporary folder trees for the replica-check tests."""

from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from pathlib import Path

import pytest


def make_tree(root: Path, layout: dict) -> Path:
    """Build folders and files from a nested map of names (text or bytes): a map is a folder,
    an integer a file of that many bytes, text a file with that content, ("link", target) a
    symbolic link."""
    root.mkdir(parents=True, exist_ok=True)
    for name, entry in layout.items():
        path = root / os.fsdecode(name)
        if isinstance(entry, dict):
            make_tree(path, entry)
        elif isinstance(entry, tuple):
            os.symlink(entry[1], path)
        elif isinstance(entry, int):
            path.write_bytes(b"x" * entry)
        else:
            path.write_text(entry)
    return root


@contextlib.contextmanager
def unprivileged():
    """Run the block as an ordinary user, so that folder permissions hold for it too."""
    if os.geteuid() != 0:
        yield
        return
    try:
        os.seteuid(65534)
    except PermissionError:
        pytest.skip("cannot drop privileges")
    try:
        yield
    finally:
        os.seteuid(0)


@pytest.fixture
def open_tmp():
    """A temporary folder any user may enter (the test's own folder is private to its owner)."""
    path = Path(tempfile.mkdtemp())
    path.chmod(0o755)
    yield path
    for folder, _, _ in os.walk(path):
        os.chmod(folder, 0o755)
    shutil.rmtree(path)
