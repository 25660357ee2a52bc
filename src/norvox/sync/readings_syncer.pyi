import structlog.stdlib
from typing_extensions import override

import norvox.sync.syncer_base
from norvox.sync.syncer_base import (
    SyncerBase as SyncerBase,
    UpdatesTuple as UpdatesTuple
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.meters import (
    get_hardware as get_hardware,
    is_three_phase_lookup as is_three_phase_lookup
)


logger: structlog.stdlib.BoundLogger

class ReadingsSyncer(norvox.sync.syncer_base.SyncerBase):
    """The meter's import and export register readings."""

    @override
    def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple:
        """
        The columns import_a, import_b, export_a, export_b (import_a and export_a for a three-phase meter); none for a meter without a hardware type.
        """
