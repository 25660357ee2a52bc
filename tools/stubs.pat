# Replacement patterns for nanobind's stub generator (tools/generate_stubs.py): entries whose
# stub the generator cannot read off the running module.

# Module loggers, typed as get_logger gives them (at run time structlog's lazy proxy of one).
^norvox\.[\w.]+\.logger$:
    \import structlog.stdlib
    logger: structlog.stdlib.BoundLogger

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

# The database client type under a module's own name.
^norvox\.util\.supabase\.Client$:
    \import supabase
    Client = supabase.Client

^norvox\.jobs\.prepay_switch_off\.SupabaseClient$:
    \import supabase
    SupabaseClient = supabase.Client

# The jobs' fields, set by their constructors.
^norvox\.jobs\.(clock_correction\.ClockCorrectionJob|prepay_switch_off\.PrepaySwitchOffAllJob)\.__prefix__$:
    \import structlog.stdlib
    \import supabase
    log: structlog.stdlib.BoundLogger
    esco: str | None
    tessel_supabase: supabase.Client

^norvox\.jobs\.pending_tariff_push\.PendingTariffPushJob\.__prefix__$:
    \import structlog.stdlib
    \import supabase
    log: structlog.stdlib.BoundLogger
    esco: str | None
    tessel_supabase: supabase.Client
    backend_supabase: supabase.Client

# After __init__: a field named supabase above it would hide the module in its annotation.
^norvox\.jobs\.prepay_switch_off\.PrepaySwitchOffJob\.__suffix__$:
    \import structlog.stdlib
    \from typing import Any
    meter: dict[str, Any]
    mediator_address: str
    supabase: SupabaseClient
    dederi_client: DederiPrepayAPI
    log: structlog.stdlib.BoundLogger

^norvox\.jobs\.wallet_refill\.WalletRefillJob\.__prefix__$:
    \import structlog.stdlib
    \import supabase
    log: structlog.stdlib.BoundLogger
    backend_supabase: supabase.Client
    tessel_supabase: supabase.Client
    FLY_REGION: str | None

^norvox\.profile_logs\.replicas\.mirror_gaps\.DATE_PATTERN$:
    \import re
    DATE_PATTERN: re.Pattern[str]

# The replica records: mutable and compared by value (unhashable), matched by position.
^norvox\.profile_logs\.replicas\.mirror_diff\.\w+\.__hash__$:
    \from typing import ClassVar
    __hash__: ClassVar[None]  # type: ignore[assignment]

^norvox\.profile_logs\.replicas\.mirror_diff\.FileInfo\.__match_args__$:
    __match_args__ = ("relative_path", "absolute_path", "size", "date")

^norvox\.profile_logs\.replicas\.mirror_diff\.FileDifference\.__match_args__$:
    __match_args__ = ("relative_path", "size_1", "size_2", "size_diff")

^norvox\.profile_logs\.replicas\.mirror_diff\.ComparisonReport\.__match_args__$:
    __match_args__ = ("only_in_folder_1", "only_in_folder_2", "different_files", "identical_files", "total_files_1", "total_files_2")
