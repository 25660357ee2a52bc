"""Writes the type stubs (.pyi) of the package's C++ modules, beside their sources in src/, with
nanobind's stub generator; `--check` compares instead and lists the stubs that differ.

    python tools/generate_stubs.py [--check]

The modules are the ones CMakeLists.txt builds. Run it with the interpreter the package is
installed in (`make stubs`); the tests run `--check`, so committed stubs stay current.
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import os
import re
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

from nanobind.stubgen import StubGen, load_pattern_file

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src"
# Names a module or class holds for book-keeping (nanobind's, abc's), not for its callers.
INTERNAL_NAMES = {"__nanobind_internals__", "_abc_impl", "__abstractmethods__"}
# Markers a function carries, each shown as the decorator that set it.
MARKERS = [("__isabstractmethod__", "abc", "abstractmethod"), ("__override__", "typing_extensions", "override")]


def modules() -> list[str]:
    """The dotted names of the C++ modules, in the order CMakeLists.txt builds them."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return [path.replace("/", ".") for path in re.findall(r"^norvox_module\(src/(\S+)\.cpp\)", text, re.M)]


def is_norvox_function(tp: type) -> bool:
    """The callable type that wraps every function of the C++ modules."""
    return tp.__module__ == "norvox" and tp.__name__ == "function"


class Stubs(StubGen):
    """nanobind's stub generator, told that our wrapped functions are nanobind functions
    underneath (`__nb_function__`), whose signatures it reads."""

    def is_function(self, tp: type) -> bool:
        return is_norvox_function(tp) or super().is_function(tp)

    def put_function(self, fn, name=None, parent=None):
        if not is_norvox_function(type(fn)):
            return super().put_function(fn, name, parent)
        if name and fn.__module__ != self.module.__name__:
            return self.put_value(fn, name)  # taken from another module
        for marker, module, decorator in MARKERS:
            if getattr(fn, marker, False):
                self.write_ln("@" + self.bind(module, decorator))
        return self.put_nb_func(fn.__nb_function__, name)

    def put(self, value, name=None, parent=None):
        if name in INTERNAL_NAMES:
            return
        if name == "__all__" and parent is self.module:
            # The generator would write a bare `list`, which strict checkers refuse.
            return self.write_ln(f"__all__: list[str] = {list(value)!r}\n")
        return super().put(value, name, parent)


def stub_text(name: str) -> str:
    module = importlib.import_module(name)
    generator = Stubs(
        module, include_docstrings=True, include_private=True, patterns=load_pattern_file(str(ROOT / "tools/stubs.pat"))
    )
    generator.put(module)
    return generator.get()


def stub_path(name: str) -> Path:
    return SOURCES.joinpath(*name.split(".")).with_suffix(".pyi")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the stubs in src/ instead of writing")
    check = parser.parse_args().check

    # Loading the stub generator module compiles ./mediator.proto: let it do so in a scratch
    # folder. Loading the deprecated client module warns.
    scratch = tempfile.mkdtemp()
    shutil.copy(SOURCES / "norvox/mediator/grpc/mediator.proto", scratch)
    os.makedirs(os.path.join(scratch, "generated"))
    here = os.getcwd()
    os.chdir(scratch)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            texts = {name: stub_text(name) for name in modules()}
    finally:
        os.chdir(here)
        shutil.rmtree(scratch)

    stale = []
    for name, text in texts.items():
        path = stub_path(name)
        old = path.read_text() if path.exists() else ""
        if old == text:
            continue
        if check:
            stale.append(name)
            sys.stdout.writelines(
                difflib.unified_diff(old.splitlines(True), text.splitlines(True), str(path.relative_to(ROOT)), "fresh")
            )
        else:
            path.write_text(text)
            print(f"wrote {path.relative_to(ROOT)}")
    if stale:
        print(f"stale stubs: {', '.join(stale)} (run make stubs)")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
