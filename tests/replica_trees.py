"""Temporary folder trees for the replica-check tests."""

from __future__ import annotations

import os
from pathlib import Path


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
