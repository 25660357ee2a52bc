"""norvox.mediator.grpc.stub_generator: the compile at load, fix_imports and the program."""

import codecs
import locale
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

GRPC_DIR = Path(__file__).resolve().parents[1] / "src" / "norvox" / "mediator" / "grpc"
SERVICE_MODULE = Path("generated") / "mediator_pb2_grpc.py"
ABSOLUTE = "import mediator_pb2 as mediator__pb2"
RELATIVE = "from . import mediator_pb2 as mediator__pb2"
PROGRAM = shutil.which("stub_generator", path=os.path.dirname(sys.executable))


@pytest.fixture(scope="module")
def stub_generator(tmp_path_factory):
    """The module, loaded in an empty folder so that its compile finds nothing to do."""
    here = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("empty"))
    try:
        from norvox.mediator.grpc import stub_generator
    finally:
        os.chdir(here)
    return stub_generator


@pytest.fixture
def grpc_copy(tmp_path):
    """A copy of the package's protocol definition and its generated modules."""
    shutil.copy(GRPC_DIR / "mediator.proto", tmp_path)
    shutil.copytree(GRPC_DIR / "generated", tmp_path / "generated", ignore=shutil.ignore_patterns("__pycache__"))
    return tmp_path


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, text=True)


def tree(folder):
    return {
        p.relative_to(folder): p.read_bytes()
        for p in sorted(folder.rglob("*"))
        if p.is_file() and "__pycache__" not in p.parts
    }


# fix_imports


@pytest.mark.parametrize(
    "before, after",
    [
        ("import grpc\n\nx = 1\n", "import grpc\n\nx = 1\n"),
        (f"import grpc\n{ABSOLUTE}\n", f"import grpc\n{RELATIVE}\n"),
        (f"{ABSOLUTE}\nif True:\n    {ABSOLUTE}\n", f"{RELATIVE}\nif True:\n    {RELATIVE}\n"),
        (f"import grpc\n{RELATIVE}\n", f"import grpc\n{RELATIVE}\n"),
        (f"{RELATIVE}\n{ABSOLUTE}\n", f"{RELATIVE}\n{RELATIVE}\n"),
        ("import mediator_pb2 as mediator_pb2\n", "import mediator_pb2 as mediator_pb2\n"),
        (f"{ABSOLUTE}", f"{RELATIVE}"),
    ],
    ids=["none", "one", "two", "already-fixed", "fixed-and-not", "single-underscore", "no-newline"],
)
def test_fix_imports_rewrites_absolute_imports(stub_generator, tmp_path, monkeypatch, before, after):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "generated").mkdir()
    SERVICE_MODULE.write_text(before)
    assert stub_generator.fix_imports() is None
    assert SERVICE_MODULE.read_text() == after
    stub_generator.fix_imports()
    assert SERVICE_MODULE.read_text() == after


@pytest.mark.parametrize("with_folder", [True, False], ids=["empty-folder", "no-folder"])
def test_fix_imports_without_service_module(stub_generator, tmp_path, monkeypatch, with_folder):
    monkeypatch.chdir(tmp_path)
    if with_folder:
        (tmp_path / "generated").mkdir()
    with pytest.raises(FileNotFoundError):
        stub_generator.fix_imports()
    assert list(tmp_path.rglob("*")) == ([tmp_path / "generated"] if with_folder else [])


@pytest.mark.skipif(
    codecs.lookup(locale.getpreferredencoding(False)).name not in ("utf-8", "ascii"),
    reason="the default text encoding reads any byte",
)
def test_fix_imports_leaves_an_unreadable_file_as_it_was(stub_generator, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "generated").mkdir()
    content = f"{ABSOLUTE}\n# \xff\n".encode("latin-1")
    SERVICE_MODULE.write_bytes(content)
    with pytest.raises(UnicodeDecodeError):
        stub_generator.fix_imports()
    assert SERVICE_MODULE.read_bytes() == content


def test_module_surface(stub_generator):
    import grpc_tools.protoc

    assert stub_generator.protoc is grpc_tools.protoc
    assert stub_generator.__doc__ == "Runs protoc with the gRPC plugin to generate messages and gRPC stubs."
    assert stub_generator.fix_imports.__doc__ == "Fixes imports in the generated code to use relative imports."
    with pytest.raises(TypeError):
        stub_generator.fix_imports("generated/mediator_pb2_grpc.py")


# Loading compiles


def test_load_compiles_once_with_the_argument_vector(tmp_path):
    run = run_python(
        """
        import importlib
        import grpc_tools.protoc as protoc
        calls = []
        protoc.main = lambda argv: calls.append(argv) or 0
        import norvox.mediator.grpc.stub_generator
        importlib.import_module("norvox.mediator.grpc.stub_generator")
        from norvox.mediator.grpc import stub_generator
        print(calls)
        """,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr
    argv = (
        "",
        "-I.",
        "--pyi_out=./generated",
        "--python_out=./generated",
        "--grpc_python_out=./generated",
        "./mediator.proto",
    )
    assert run.stdout == f"[{argv!r}]\n"


def test_load_without_proto_succeeds_quietly(tmp_path):
    run = run_python("import norvox.mediator.grpc.stub_generator", cwd=tmp_path)
    assert (run.returncode, run.stdout) == (0, "")
    assert list(tmp_path.iterdir()) == []


def test_load_generates_without_fixing_imports(grpc_copy):
    for generated in (grpc_copy / "generated").glob("mediator_pb2*"):
        generated.unlink()
    run = run_python("import norvox.mediator.grpc.stub_generator", cwd=grpc_copy)
    assert run.returncode == 0, run.stderr
    service = (grpc_copy / SERVICE_MODULE).read_text()
    assert f"\n{ABSOLUTE}\n" in service and RELATIVE not in service
    assert (grpc_copy / "generated" / "mediator_pb2.py").exists()
    assert (grpc_copy / "generated" / "mediator_pb2.pyi").exists()


# The program


def test_program_regenerates_the_committed_modules(grpc_copy):
    committed = tree(GRPC_DIR / "generated")
    for generated in (grpc_copy / "generated").glob("mediator_pb2*"):
        generated.write_text("stale\n")
    run = subprocess.run([PROGRAM], cwd=grpc_copy, capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")
    assert tree(grpc_copy / "generated") == committed


def test_program_without_generated_modules_fails(tmp_path):
    run = subprocess.run([PROGRAM], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 1
    assert "FileNotFoundError" in run.stderr
    assert list(tmp_path.iterdir()) == []
