"""Stand-in for the mediator client library's error: what a failed mediator call raises.

`code_str` is the name of the call's gRPC status code ("UNAVAILABLE", "DEADLINE_EXCEEDED", ...);
the text of the error is a readable message.
"""

from typing import Self


class MediatorClientException(Exception):
    """A mediator call failed; `code_str` names its gRPC status code."""

    def __init__(self, message: str, code_str: str = "UNKNOWN") -> None:
        super().__init__(message)
        self.code_str = code_str

    def __reduce__(self) -> tuple[type[Self], tuple[str, str]]:
        return (type(self), (str(self), self.code_str))
