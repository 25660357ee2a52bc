"""Stand-in for the Fly Machines platform client: `API`, a client of the platform's machines REST
interface over HTTP, and `FLY_REGION_DEFAULT`.

The platform is reached at `FLY_API_HOSTNAME` (read when a client is made), or at its public
address when that is unset. The API token goes out as a bearer token and nowhere else: no log
line, message, error text or answer of this module holds it. An answer of the platform with an error
status comes back as an error answer, {"error": <the platform's message>}; a failure to reach
the platform at all raises httpx's transport error.
"""

from __future__ import annotations

import builtins
import os
import re
from typing import Any
from urllib.parse import quote

import httpx

FLY_REGION_DEFAULT = "lhr"

PUBLIC_API_HOSTNAME = "https://api.machines.dev"

# Seconds the platform is asked to hold a `wait` before it answers that the state was not reached.
WAIT_TIMEOUT_SECONDS = 60
# Seconds for every other request, and the margin given to a wait beyond its own time limit.
REQUEST_TIMEOUT_SECONDS = 30

# What an HTTP header value can carry: visible ASCII, with single blanks between.
_HEADER_SAFE = re.compile(r"[\x21-\x7e]+(?: [\x21-\x7e]+)*")


class API:
    """A client of the machines of the platform's applications."""

    def __init__(self, api_token: str):
        if not isinstance(api_token, str):
            raise TypeError(f"the API token must be str, not {type(api_token).__name__}")
        if api_token and not _HEADER_SAFE.fullmatch(api_token):
            raise ValueError("the API token holds characters that an HTTP header cannot carry")
        self._token = api_token
        base = (os.environ.get("FLY_API_HOSTNAME") or PUBLIC_API_HOSTNAME).rstrip("/")
        # No token, no credentials: the platform then refuses every call.
        headers = {"Authorization": f"Bearer {api_token}"} if api_token else {}
        self._http = httpx.Client(base_url=f"{base}/v1", headers=headers, timeout=REQUEST_TIMEOUT_SECONDS)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self._http.base_url}>"

    def close(self) -> None:
        self._http.close()

    def __enter__(self) -> API:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- operations ----------------------------------------------------------------------

    def list(self, app_name: str, region: str | None = None) -> Any:
        """The application's machines (of one region when given), or an error answer."""
        params = {"region": region} if region is not None else {}
        return self._call("GET", _machines(app_name), params=params)

    # `builtins.list`: the method `list` above shadows the built-in name in this class body.
    def create(
        self,
        app_name: str,
        image: str,
        cmd: builtins.list[str],
        port: int | None = None,
        additional_internal_port: int | None = None,
        name: str | None = None,
        env_vars: dict[str, Any] | None = None,
        metadata: dict[str, Any] | None = None,
        extra_config: dict[str, Any] | None = None,
    ) -> Any:
        """Create and start a machine running `cmd` in `image`; the new machine's map, or an
        error answer. `port` is served on the same port outside; `additional_internal_port`
        likewise, as a second service. `extra_config` holds further fields of the request,
        such as its "region"."""
        services = [
            {"protocol": "tcp", "internal_port": p, "ports": [{"port": p}]}
            for p in (port, additional_internal_port)
            if p is not None
        ]
        config: dict[str, Any] = {"image": image, "init": {"cmd": cmd}, "services": services}
        if env_vars is not None:
            config["env"] = env_vars
        if metadata is not None:
            config["metadata"] = metadata
        body: dict[str, Any] = {"config": config}
        if name is not None:
            body["name"] = name
        body.update(extra_config or {})
        return self._call("POST", _machines(app_name), json=body)

    def start(self, app_name: str, machine_id: str) -> Any:
        return self._call("POST", _machine(app_name, machine_id, "start"))

    def stop(self, app_name: str, machine_id: str) -> Any:
        return self._call("POST", _machine(app_name, machine_id, "stop"))

    def get(self, app_name: str, machine_id: str) -> Any:
        """The machine's map (with its "instance_id"), or an error answer."""
        return self._call("GET", _machine(app_name, machine_id))

    def wait(
        self,
        app_name: str,
        machine_id: str,
        instance_id: str,
        state: str = "started",
        timeout: int = WAIT_TIMEOUT_SECONDS,
    ) -> Any:
        """Returns once the machine is in `state`, or with an error answer when it is not
        within `timeout` seconds."""
        params = {"instance_id": instance_id, "state": state, "timeout": timeout}
        return self._call(
            "GET", _machine(app_name, machine_id, "wait"), params=params, timeout=timeout + REQUEST_TIMEOUT_SECONDS
        )

    def destroy(self, app_name: str, machine_id: str, force: bool = False, region: str | None = None) -> Any:
        """Destroy the machine; without `force` the platform refuses one that still runs.
        The platform knows a machine by its id alone, so `region` is not sent."""
        return self._call("DELETE", _machine(app_name, machine_id), params={"force": "true" if force else "false"})

    # --- the wire --------------------------------------------------------------------------

    def _call(self, method: str, path: str, **kwargs: Any) -> Any:
        """The platform's answer to the request, or an error answer; never with the token."""
        return self._scrubbed(self._answer(method, path, **kwargs))

    def _answer(self, method: str, path: str, **kwargs: Any) -> Any:
        response = self._http.request(method, path, **kwargs)
        try:
            answer = response.json() if response.content else {}
        except ValueError:
            answer = None
        if response.is_error:
            message = answer.get("error") if isinstance(answer, dict) else None
            if message is None:
                # Scrubbed before the cut: a cut through the token would leave its beginning.
                page = self._scrubbed(response.text)[:200]
                message = f"{response.status_code} {response.reason_phrase}: {page}".rstrip(": ")
            return {"error": message}
        if answer is None:
            return {"error": f"the platform's answer to {method} {path} is not JSON"}
        return answer

    def _scrubbed(self, value: Any) -> Any:
        """`value` without the token in any text it holds (map keys included), should the
        platform ever echo it."""
        if not self._token:
            return value
        if isinstance(value, str):
            return value.replace(self._token, "***")
        if isinstance(value, dict):
            return {self._scrubbed(k): self._scrubbed(v) for k, v in value.items()}
        if isinstance(value, list):
            return [self._scrubbed(item) for item in value]
        return value


def _machines(app_name: str) -> str:
    return f"/apps/{quote(str(app_name), safe='')}/machines"


def _machine(app_name: str, machine_id: str, action: str | None = None) -> str:
    path = f"{_machines(app_name)}/{quote(str(machine_id), safe='')}"
    return f"{path}/{action}" if action else path
