"""Stand-in for the mediator client library's transport, shared by its two clients.

One insecure gRPC channel to the mediator at `mediator_address`, a deadline on every call, and
every gRPC failure raised as `MediatorClientException` named by its status code.
"""

import logging
import math
import os
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from typing import Any, Self

import grpc  # type: ignore[import-untyped]  # grpcio ships no annotations

from .grpc.generated import mediator_pb2, mediator_pb2_grpc
from .mediator_client_exception import MediatorClientException

# Time limit of one call, in seconds, unless the client is given `timeout` or the environment
# sets MEDIATOR_CALL_TIMEOUT_SECONDS.
DEFAULT_TIMEOUT_SECONDS = 10.0
TIMEOUT_VARIABLE = "MEDIATOR_CALL_TIMEOUT_SECONDS"

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_MICROSECOND = timedelta(microseconds=1)


def to_unix_micros(moment: datetime) -> int:
    """Microseconds since the Unix epoch of a time-zone-aware date-time."""
    if not isinstance(moment, datetime):
        raise TypeError(f"expected a datetime, got {type(moment).__name__}")
    if moment.utcoffset() is None:
        raise ValueError(f"datetime without a time zone: {moment.isoformat()}")
    return (moment - _EPOCH) // _MICROSECOND


def from_unix_micros(micros: int) -> datetime:
    """The UTC date-time of a count of microseconds since the Unix epoch."""
    return _EPOCH + timedelta(microseconds=micros)


def _timeout_seconds(timeout: float | None) -> float:
    source = "timeout"
    if timeout is None:
        text = os.environ.get(TIMEOUT_VARIABLE)
        if not text:
            return DEFAULT_TIMEOUT_SECONDS
        source = TIMEOUT_VARIABLE
        try:
            timeout = float(text)
        except ValueError:
            raise ValueError(f"{source} is not a number: {text!r}") from None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError(f"{source} must be a positive number of seconds, got {timeout!r}")
    return float(timeout)


class MediatorClientBase:
    """A client of one mediator: its channel, its deadline and the call wrapper."""

    def __init__(self, *, mediator_address: str, timeout: float | None = None) -> None:
        if not isinstance(mediator_address, str):
            raise TypeError(f"mediator_address must be str (host:port), not {type(mediator_address).__name__}")
        if not mediator_address:
            raise ValueError("mediator_address is empty")
        self.timeout = _timeout_seconds(timeout)
        self.mediator_address = mediator_address
        self._logger = logging.getLogger(type(self).__module__)
        self._channel = grpc.insecure_channel(mediator_address)
        # The generated service module carries no annotations: its stub is used untyped.
        stub_type: Any = mediator_pb2_grpc.MediatorStub
        self._stub: Any = stub_type(self._channel)

    def close(self) -> None:
        """Closes the channel; calls made afterwards fail."""
        self._channel.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _call(
        self,
        method: str,
        serial: str,
        request_type: Callable[..., Any] = mediator_pb2.MeterRequest,
        **fields: Any,
    ) -> Any:
        """Calls `method` with a `request_type` for the meter `serial` and the further request
        fields given; returns the reply (the method's reply message)."""
        if not isinstance(serial, str):
            raise TypeError(f"serial must be str, not {type(serial).__name__}")
        request = request_type(serial=serial, **fields)
        self._logger.debug("%s serial=%s mediator=%s", method, serial, self.mediator_address)
        try:
            return getattr(self._stub, method)(request, timeout=self.timeout)
        except grpc.RpcError as error:
            code = error.code() if callable(getattr(error, "code", None)) else None
            code_str = code.name if code is not None else "UNKNOWN"
            details = error.details() if callable(getattr(error, "details", None)) else None
            raise MediatorClientException(
                f"{method} for meter {serial} at {self.mediator_address} failed: {code_str}: {details or 'no details'}",
                code_str,
            ) from error
