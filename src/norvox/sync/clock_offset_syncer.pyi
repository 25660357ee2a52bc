import structlog.stdlib
from typing_extensions import override

import norvox.sync.syncer_base
from norvox.sync.syncer_base import (
    SyncerBase as SyncerBase,
    UpdatesTuple as UpdatesTuple
)
from norvox.util.logging import get_logger as get_logger


logger: structlog.stdlib.BoundLogger

class ClockOffsetSyncer(norvox.sync.syncer_base.SyncerBase):
    """How far the meter clock is off the current UTC time."""

    @override
    def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple:
        """
        The columns clock_time_diff_seconds (whole seconds off, either way) and clock_time_diff_synced_at (ISO 8601, UTC).
        """
