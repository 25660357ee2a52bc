"""What the simulated HTTP peers share: a threaded server on 127.0.0.1 at an ephemeral port,
run on a background thread, usable as a context manager."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


def read_body(handler: BaseHTTPRequestHandler) -> Any:
    """The request's body: its JSON value, its text when it is not JSON, None when empty."""
    length = int(handler.headers.get("Content-Length") or 0)
    raw = handler.rfile.read(length) if length else b""
    try:
        return json.loads(raw) if raw else None
    except ValueError:
        return raw.decode("utf-8", "replace")


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64  # room for many clients connecting at once


class LocalHTTPServer:
    """Serves `handler` on 127.0.0.1; the handler finds `state` as `self.server.<name>`."""

    def __init__(self, handler: type[BaseHTTPRequestHandler], **state: Any) -> None:
        self._server = _Server(("127.0.0.1", 0), handler)
        for name, value in state.items():
            setattr(self._server, name, value)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def start(self):
        self._thread.start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
