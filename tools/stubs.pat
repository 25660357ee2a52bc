# Replacement patterns for nanobind's stub generator (tools/generate_stubs.py): entries whose
# stub the generator cannot read off the running module.

# The job programs' settings, read from the environment when the module loads.
^norvox\.jobs\.\w+\.(supabase_url|supabase_key|tessel_role_key|public_backend_role_key|fly_region|mediator_server|env)$:
    \1: str | None

^norvox\.jobs\.\w+\.(max_parallel_jobs|drift_threshold_seconds)$:
    \1: int

# The profile-log record is a type of its own making (not a nanobind class). Its two values
# are read as floats and take any number when set.
^norvox\.drav\.drav_csv_record\.DRAVCSVRecord$:
    \from datetime import datetime
    \from typing import ClassVar, Self, SupportsFloat
    class DRAVCSVRecord:
        \doc
        NA_VALUE: ClassVar[str]
        TIMESTAMP_FORMAT: ClassVar[str]
        timestamp: datetime
        @property
        def import_value(self) -> float | None: ...
        @import_value.setter
        def import_value(self, value: SupportsFloat | None) -> None: ...
        @property
        def export_value(self) -> float | None: ...
        @export_value.setter
        def export_value(self, value: SupportsFloat | None) -> None: ...
        def __init__(self, timestamp: datetime, import_value: SupportsFloat | None, export_value: SupportsFloat | None) -> None: ...
        def to_csv_line(self) -> str: ...
        def __reduce__(self) -> tuple[type[Self], tuple[datetime, float | None, float | None]]: ...

# The meter-link exception sets its message on the instance.
^norvox\.mediator\.grpc\.exception\.MeterLinkFailure\.MeterLinkFailure$:
    class MeterLinkFailure(Exception):
        message: str
        def __init__(self, message: str) -> None: ...

# The configuration paths follow the user's home folder.
^norvox\.util\.config\.(CONFIG_DIR|DMP_CONFIG_FILE)$:
    \1: str

# The logging chains: lists of structlog processors.
^norvox\.util\.logging\.(shared_processors|processors)$:
    \from structlog.typing import Processor
    \1: list[Processor]

# The hosting backend's state maps and fields.
^norvox\.orchestrate\.adapter\.machines_backend\.FLY_STATUS$:
    FLY_STATUS: dict[ContainerState, str]

^norvox\.orchestrate\.adapter\.machines_backend\.CONTAINER_STATUS$:
    CONTAINER_STATUS: dict[str, ContainerState]

^norvox\.orchestrate\.adapter\.machines_backend\.MachinesBackend\.__prefix__$:
    \from velk_fly_machines.api import API
    api: API
    dns_server: str
    image: str
    fly_app: str | None
    serial: str | None
    region: str
    use_private_address: bool

# Wrapped by the retry library when the class is made, so its signature is not nanobind's.
^norvox\.orchestrate\.adapter\.machines_backend\.MachinesBackend\._call_api_with_retry$:
    \from collections.abc import Callable
    \from typing import Any
    def _call_api_with_retry(self, func: Callable[..., Any], *args: object, **kwargs: object) -> Any:
        \doc
