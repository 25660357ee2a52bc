# Replacement patterns for nanobind's stub generator (tools/generate_stubs.py): entries whose
# stub the generator cannot read off the running module.

# The job programs' settings, read from the environment when the module loads.
^norvox\.jobs\.\w+\.(supabase_url|supabase_key|tessel_role_key|public_backend_role_key|fly_region|mediator_server|env)$:
    \1: str | None

^norvox\.jobs\.\w+\.(max_parallel_jobs|drift_threshold_seconds)$:
    \1: int

# The profile-log record is a type of its own making (not a nanobind class).
^norvox\.drav\.drav_csv_record\.DRAVCSVRecord$:
    \from datetime import datetime
    \from typing import ClassVar, SupportsFloat
    class DRAVCSVRecord:
        \doc
        NA_VALUE: ClassVar[str]
        TIMESTAMP_FORMAT: ClassVar[str]
        timestamp: datetime
        import_value: float | None
        export_value: float | None
        def __init__(self, timestamp: datetime, import_value: SupportsFloat | None, export_value: SupportsFloat | None) -> None: ...
        def to_csv_line(self) -> str: ...
        def __reduce__(self) -> tuple[type[DRAVCSVRecord], tuple[datetime, float | None, float | None]]: ...
