import structlog.stdlib
from structlog.typing import Processor


def suppress_noisy_loggers() -> None:
    """Raise the HTTP client libraries' loggers to WARNING."""

def flush_logs() -> None:
    """Flush every handler of the root logger."""

class _WholeLineWriter:
    def write(self, arg: str, /) -> None: ...

    def flush(self) -> None: ...

shared_processors: list[Processor]

processors: list[Processor]

def path_to_package_and_module(path: str) -> str:
    """Dotted module name made from a source file path."""

def logger_module_name(name: str, file: str | None = None) -> str:
    """
    The module name for a logger: the file's dotted name for __main__, else the name.
    """

def get_logger(name: str, python_file: str) -> structlog.stdlib.BoundLogger:
    """The module logger for the given module name and source file."""
