from typing_extensions import override

import norvox.sync.syncer_base
from norvox.sync.syncer_base import (
    SyncerBase as SyncerBase,
    UpdatesTuple as UpdatesTuple
)


class SignalQualitySyncer(norvox.sync.syncer_base.SyncerBase):
    """The meter modem's signal quality."""

    @override
    def fetch_metrics(self) -> norvox.sync.syncer_base.UpdatesTuple:
        """The column csq: the signal quality as the meter gives it."""
