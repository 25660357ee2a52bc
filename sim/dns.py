"""Simulated name server: a UDP DNS server on 127.0.0.1 (ephemeral port) built with dnspython.

    with NameServer() as ns:
        ns.add("meters.fly.dev", "A", "203.0.113.7", "203.0.113.8")
        ns.add("meters.flycast", "AAAA", "fdaa:0:1:0:0:0:0:2")
        ns.silence("slow.fly.dev")                 # never answered: the asker times out
        resolver.nameservers, resolver.port = [ns.host], ns.port
        ns.queries                                 # [("meters.fly.dev.", "A"), ...]

A name it holds answers with its records of the asked type, or with no records (NOERROR, an
empty answer) when it has none of that type; any other name answers NXDOMAIN. Names are matched
without regard to case, with or without the final dot.
"""

from __future__ import annotations

import socket
import threading

import dns.flags
import dns.message
import dns.rcode
import dns.rdatatype
import dns.rrset


def _key(name: str) -> str:
    return name.lower().rstrip(".") + "."


class NameServer:
    """Serves the records given to it until stopped; records every question it gets."""

    def __init__(self, ttl: int = 60):
        self.ttl = ttl
        self.records: dict[str, dict[str, list[str]]] = {}
        self.silent: set[str] = set()
        self.silent_all = False
        self.queries: list[tuple[str, str]] = []
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.settimeout(0.05)
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    @property
    def host(self) -> str:
        return self._sock.getsockname()[0]

    @property
    def port(self) -> int:
        return self._sock.getsockname()[1]

    def add(self, name: str, rdtype: str, *addresses: str) -> None:
        """Records of type "A" or "AAAA" for `name`, answered in the order given."""
        with self._lock:
            self.records.setdefault(_key(name), {}).setdefault(rdtype.upper(), []).extend(addresses)

    def silence(self, name: str | None = None) -> None:
        """Never answer questions about `name`, or about any name when none is given."""
        with self._lock:
            if name is None:
                self.silent_all = True
            else:
                self.silent.add(_key(name))

    def start(self) -> NameServer:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join()
        self._sock.close()

    def __enter__(self) -> NameServer:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _serve(self) -> None:
        while not self._stopping.is_set():
            try:
                wire, peer = self._sock.recvfrom(65535)
            except TimeoutError:
                continue
            except OSError:
                return
            try:
                query = dns.message.from_wire(wire)
            except Exception:
                continue  # not a DNS message: ignored, as a name server does
            response = self._answer(query)
            if response is not None:
                self._sock.sendto(response.to_wire(want_shuffle=False), peer)  # records in the order held

    def _answer(self, query: dns.message.Message) -> dns.message.Message | None:
        response = dns.message.make_response(query)
        response.flags |= dns.flags.AA
        with self._lock:
            for question in query.question:
                name = question.name.to_text()
                rdtype = dns.rdatatype.to_text(question.rdtype)
                self.queries.append((name, rdtype))
                if self.silent_all or _key(name) in self.silent:
                    return None
                held = self.records.get(_key(name))
                if held is None:
                    response.set_rcode(dns.rcode.NXDOMAIN)
                elif held.get(rdtype):
                    response.answer.append(
                        dns.rrset.from_text_list(question.name, self.ttl, "IN", rdtype, held[rdtype])
                    )
        return response
