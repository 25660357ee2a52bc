from google.protobuf.internal import containers as _containers
from google.protobuf import descriptor as _descriptor
from google.protobuf import message as _message
from collections.abc import Iterable as _Iterable, Mapping as _Mapping
from typing import ClassVar as _ClassVar, Optional as _Optional, Union as _Union

DESCRIPTOR: _descriptor.FileDescriptor

class MeterRequest(_message.Message):
    __slots__ = ("serial",)
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    serial: str
    def __init__(self, serial: _Optional[str] = ...) -> None: ...

class Ack(_message.Message):
    __slots__ = ()
    def __init__(self) -> None: ...

class ClockTimeReadReply(_message.Message):
    __slots__ = ("unix_micros",)
    UNIX_MICROS_FIELD_NUMBER: _ClassVar[int]
    unix_micros: int
    def __init__(self, unix_micros: _Optional[int] = ...) -> None: ...

class PrepayEnabledWriteRequest(_message.Message):
    __slots__ = ("serial", "enabled")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    ENABLED_FIELD_NUMBER: _ClassVar[int]
    serial: str
    enabled: bool
    def __init__(self, serial: _Optional[str] = ..., enabled: _Optional[bool] = ...) -> None: ...

class PrepayBalanceReply(_message.Message):
    __slots__ = ("balance",)
    BALANCE_FIELD_NUMBER: _ClassVar[int]
    balance: float
    def __init__(self, balance: _Optional[float] = ...) -> None: ...

class PricingTable(_message.Message):
    __slots__ = ("unit_rate", "standing_charge")
    UNIT_RATE_FIELD_NUMBER: _ClassVar[int]
    STANDING_CHARGE_FIELD_NUMBER: _ClassVar[int]
    unit_rate: str
    standing_charge: str
    def __init__(self, unit_rate: _Optional[str] = ..., standing_charge: _Optional[str] = ...) -> None: ...

class TariffsActiveReadReply(_message.Message):
    __slots__ = ("pricing_table",)
    PRICING_TABLE_FIELD_NUMBER: _ClassVar[int]
    pricing_table: PricingTable
    def __init__(self, pricing_table: _Optional[_Union[PricingTable, _Mapping]] = ...) -> None: ...

class TariffsFuture(_message.Message):
    __slots__ = ("pricing_table", "activation_unix_micros")
    PRICING_TABLE_FIELD_NUMBER: _ClassVar[int]
    ACTIVATION_UNIX_MICROS_FIELD_NUMBER: _ClassVar[int]
    pricing_table: PricingTable
    activation_unix_micros: int
    def __init__(self, pricing_table: _Optional[_Union[PricingTable, _Mapping]] = ..., activation_unix_micros: _Optional[int] = ...) -> None: ...

class TariffsFutureReadReply(_message.Message):
    __slots__ = ("tariffs",)
    TARIFFS_FIELD_NUMBER: _ClassVar[int]
    tariffs: TariffsFuture
    def __init__(self, tariffs: _Optional[_Union[TariffsFuture, _Mapping]] = ...) -> None: ...

class TariffsFutureWriteRequest(_message.Message):
    __slots__ = ("serial", "tariffs")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    TARIFFS_FIELD_NUMBER: _ClassVar[int]
    serial: str
    tariffs: TariffsFuture
    def __init__(self, serial: _Optional[str] = ..., tariffs: _Optional[_Union[TariffsFuture, _Mapping]] = ...) -> None: ...

class TariffsFutureWriteReply(_message.Message):
    __slots__ = ("accepted", "reason")
    ACCEPTED_FIELD_NUMBER: _ClassVar[int]
    REASON_FIELD_NUMBER: _ClassVar[int]
    accepted: bool
    reason: str
    def __init__(self, accepted: _Optional[bool] = ..., reason: _Optional[str] = ...) -> None: ...

class EventLogRequest(_message.Message):
    __slots__ = ("serial", "page")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    PAGE_FIELD_NUMBER: _ClassVar[int]
    serial: str
    page: int
    def __init__(self, serial: _Optional[str] = ..., page: _Optional[int] = ...) -> None: ...

class Event(_message.Message):
    __slots__ = ("timestamp", "event_id", "event_set")
    TIMESTAMP_FIELD_NUMBER: _ClassVar[int]
    EVENT_ID_FIELD_NUMBER: _ClassVar[int]
    EVENT_SET_FIELD_NUMBER: _ClassVar[int]
    timestamp: int
    event_id: int
    event_set: int
    def __init__(self, timestamp: _Optional[int] = ..., event_id: _Optional[int] = ..., event_set: _Optional[int] = ...) -> None: ...

class EventLogReply(_message.Message):
    __slots__ = ("events",)
    EVENTS_FIELD_NUMBER: _ClassVar[int]
    events: _containers.RepeatedCompositeFieldContainer[Event]
    def __init__(self, events: _Optional[_Iterable[_Union[Event, _Mapping]]] = ...) -> None: ...

class ThreePhaseReadRequest(_message.Message):
    __slots__ = ("serial", "hardware")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    HARDWARE_FIELD_NUMBER: _ClassVar[int]
    serial: str
    hardware: str
    def __init__(self, serial: _Optional[str] = ..., hardware: _Optional[str] = ...) -> None: ...

class ThreePhaseReadReply(_message.Message):
    __slots__ = ("active_import", "active_export")
    ACTIVE_IMPORT_FIELD_NUMBER: _ClassVar[int]
    ACTIVE_EXPORT_FIELD_NUMBER: _ClassVar[int]
    active_import: float
    active_export: float
    def __init__(self, active_import: _Optional[float] = ..., active_export: _Optional[float] = ...) -> None: ...

class ElementReadReply(_message.Message):
    __slots__ = ("import_active", "export_active")
    IMPORT_ACTIVE_FIELD_NUMBER: _ClassVar[int]
    EXPORT_ACTIVE_FIELD_NUMBER: _ClassVar[int]
    import_active: float
    export_active: float
    def __init__(self, import_active: _Optional[float] = ..., export_active: _Optional[float] = ...) -> None: ...

class BacklightReply(_message.Message):
    __slots__ = ("setting",)
    SETTING_FIELD_NUMBER: _ClassVar[int]
    setting: int
    def __init__(self, setting: _Optional[int] = ...) -> None: ...

class CsqReply(_message.Message):
    __slots__ = ("csq",)
    CSQ_FIELD_NUMBER: _ClassVar[int]
    csq: int
    def __init__(self, csq: _Optional[int] = ...) -> None: ...
