"""Temporary folder trees for the replica-check tests."""

from __future__ import annotations

import os
from pathlib import Path


def make_tree(root: Path, layout: dict) -> Path:
    """Build folders and files from a nested map of names (text or bytes): a map is a folder,
    an integer a file of that many bytes, text a file with that content, ("link", target) a
    symbolic link."""
    root.mkdir(parents=True, exist_ok=True)
    for name, spec in layout.items():
        path = root / os.fsdecode(name)
        if isinstance(spec, dict):
            make_tree(path, spec)
        elif isinstance(spec, tuple):
            os.symlink(spec[1], path)
        elif isinstance(spec, int):
            path.write_bytes(b"x" * spec)
        else:
            path.write_text(spec)
    return root
