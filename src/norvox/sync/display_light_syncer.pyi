import structlog.stdlib
from typing_extensions import override

import norvox.sync.syncer_base
from norvox.sync.syncer_base import (
    SyncerBase as SyncerBase,
    UpdatesTuple as UpdatesTuple
)
from norvox.util.logging import get_logger as get_logger
from norvox.util.meters import (
    is_three_phase_lookup as is_three_phase_lookup
)


logger: structlog.stdlib.BoundLogger

class DisplayLightSyncer(norvox.sync.syncer_base.SyncerBase):
    """The meter's display backlight setting."""

    @override
    def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple:
        """
        The column backlight: the setting's name (always_off_3p or normal_sp for the shared code); none for an unknown setting.
        """
