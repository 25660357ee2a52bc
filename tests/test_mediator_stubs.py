"""The committed gRPC modules of the mediator protocol are exactly what the stub generator's
compile and import rewrite make of mediator.proto."""

import shutil
from pathlib import Path

from grpc_tools import protoc

GRPC_FOLDER = Path(__file__).resolve().parents[1] / "src" / "norvox" / "mediator" / "grpc"
GENERATED = ("mediator_pb2.py", "mediator_pb2.pyi", "mediator_pb2_grpc.py")


def test_regenerated_modules_are_byte_identical(tmp_path, monkeypatch):
    shutil.copy(GRPC_FOLDER / "mediator.proto", tmp_path)
    (tmp_path / "generated").mkdir()
    monkeypatch.chdir(tmp_path)

    status = protoc.main(
        (
            "",
            "-I.",
            "--pyi_out=./generated",
            "--python_out=./generated",
            "--grpc_python_out=./generated",
            "./mediator.proto",
        )
    )
    assert status == 0
    service = tmp_path / "generated" / "mediator_pb2_grpc.py"
    text = service.read_text()
    assert text.count("import mediator_pb2 as mediator__pb2") == 1
    service.write_text(
        text.replace("import mediator_pb2 as mediator__pb2", "from . import mediator_pb2 as mediator__pb2")
    )

    for name in GENERATED:
        assert (tmp_path / "generated" / name).read_bytes() == (GRPC_FOLDER / "generated" / name).read_bytes(), name
