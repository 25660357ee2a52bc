"""
Backward compatibility module.

This module re-exports DederiMediatorAPI from api_core for backward compatibility.
New code should import directly from api_core or api_prepay.

Deprecated: Import from norvox.mediator instead.
"""

from norvox.mediator.api_core import (
    DederiMediatorAPI as DederiMediatorAPI
)
from norvox.mediator.api_prepay import (
    DederiPrepayAPI as DederiPrepayAPI,
    PricingTable as PricingTable,
    TariffsActive as TariffsActive,
    TariffsFuture as TariffsFuture
)


__all__: list[str] = ['DederiMediatorAPI', 'DederiPrepayAPI', 'PricingTable', 'TariffsActive', 'TariffsFuture']
