# SPDX-License-Identifier: Apache-2.0
"""Type stubs of the compiled part of the orvex package (import orvex instead)."""

from typing import Callable, List, Optional, Union

from ._enums import (
    Clock,
    ManagerState,
    OrvexContactStatus,
    SimReadingFormat,
    SimService,
)

_BytesLike = Union[bytes, bytearray, memoryview]

__version__: str

class Transponder:
    """One identified tag: its identifier text and the raw value of its type."""

    def __init__(self, id: str, type: int = 0) -> None: ...
    @property
    def id(self) -> str: ...
    @property
    def type(self) -> int: ...
    @property
    def type_name(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Contact:
    """An owner contact as stored on an FDX-B tag."""

    def __init__(self, phone: str, name: str) -> None: ...
    @property
    def phone(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def email(self) -> str: ...
    @staticmethod
    def encode(phone: str, email: str) -> bytes: ...
    @staticmethod
    def decode(data: _BytesLike) -> Optional[Contact]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Scan:
    """One reading: the transponder read and when it was decoded."""

    def __init__(self, xpdr: Optional[Transponder], date: float = 0.0) -> None: ...
    @property
    def xpdr(self) -> Optional[Transponder]: ...
    @property
    def date(self) -> float: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class ScanResult:
    """A reading together with the owner contact read from the tag."""

    def __init__(self, scan: Optional[Scan], contact: Optional[Contact] = None) -> None: ...
    @property
    def scan(self) -> Optional[Scan]: ...
    @property
    def contact(self) -> Optional[Contact]: ...
    @staticmethod
    def from_packed(data: _BytesLike) -> ScanResult: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Platform:
    """A Bluetooth platform a link runs on."""

    @property
    def now(self) -> float: ...

class Link:
    """The link to one handheld reader."""

    delegate: Optional[object]
    @property
    def is_connected(self) -> bool: ...
    @property
    def is_ready(self) -> bool: ...
    @property
    def is_scanning(self) -> bool: ...
    def initialize_bluetooth(self) -> None: ...
    def connect_to_reader(self) -> None: ...
    def disconnect_from_reader(self) -> None: ...
    def scan(self) -> None: ...
    def write_contact(
        self,
        tag: str,
        phone: str,
        email: str,
        completion: Optional[Callable[[bool, OrvexContactStatus], object]] = None,
    ) -> None: ...
    def set_micro_app_image_path(self, path: str) -> None: ...

def process_wide_link() -> Link: ...
def use_platform(platform: Platform) -> bool: ...

class DeviceTiming:
    connect_delay: float
    discovery_delay: float
    advertise_delay: float
    def __init__(
        self, *, connect_delay: float = ..., discovery_delay: float = ..., advertise_delay: float = ...
    ) -> None: ...

class SimTag:
    type: int
    country: int
    national_number: int
    contact: Optional[bytes]
    writable: bool
    def __init__(
        self,
        *,
        type: int = ...,
        country: int = ...,
        national_number: int = ...,
        contact: Optional[bytes] = ...,
        writable: bool = ...,
    ) -> None: ...
    @property
    def id(self) -> str: ...

class SimFaults:
    drop_rate: float
    duplicate_rate: float
    garbage_rate: float
    garbage_bytes: bytes
    random_start: int
    ignore_pings: bool
    disconnect_at_frame: Optional[int]
    disconnect_at_slice: Optional[int]
    disconnect_on_contact_write: bool
    def __init__(
        self,
        *,
        drop_rate: float = ...,
        duplicate_rate: float = ...,
        garbage_rate: float = ...,
        garbage_bytes: bytes = ...,
        random_start: int = ...,
        ignore_pings: bool = ...,
        disconnect_at_frame: Optional[int] = ...,
        disconnect_at_slice: Optional[int] = ...,
        disconnect_on_contact_write: bool = ...,
    ) -> None: ...

class SimReaderConfig:
    name: str
    service: SimService
    version: str
    battery_raw: int
    tags: List[SimTag]
    tag_in_field: Optional[int]
    stored_readings: List[SimTag]
    micro_app_current: bool
    notification_size: int
    answer_delay: float
    trigger_end_delay: float
    faults: SimFaults
    def __init__(
        self,
        *,
        name: str = ...,
        service: SimService = ...,
        version: str = ...,
        battery_raw: int = ...,
        tags: List[SimTag] = ...,
        tag_in_field: Optional[int] = ...,
        stored_readings: List[SimTag] = ...,
        micro_app_current: bool = ...,
        notification_size: int = ...,
        answer_delay: float = ...,
        trigger_end_delay: float = ...,
        faults: SimFaults = ...,
    ) -> None: ...

class SimPlatform(Platform):
    adapter_state: ManagerState
    def __init__(self, clock: Clock = ...) -> None: ...
    @property
    def clock(self) -> Clock: ...
    @property
    def is_scanning(self) -> bool: ...
    def run_until_idle(self) -> None: ...
    def advance(self, seconds: float) -> None: ...
    def shutdown(self) -> None: ...
    def set_micro_app_image(self, image: Optional[bytes]) -> None: ...
    def add_nearby_peripherals(self) -> None: ...

class SimReader:
    @staticmethod
    def attach(
        platform: SimPlatform, config: SimReaderConfig = ..., timing: DeviceTiming = ...
    ) -> SimReader: ...
    def trigger_reading(self, format: SimReadingFormat = ...) -> None: ...
    def export_readings(self) -> None: ...
    def set_tag_in_field(self, index: Optional[int]) -> None: ...
    def set_stored_readings(self, readings: List[SimTag]) -> None: ...
    def set_faults(self, faults: SimFaults) -> None: ...
    def disconnect(self) -> None: ...
    def vanish(self) -> None: ...
    @property
    def config(self) -> SimReaderConfig: ...
    @property
    def is_connected(self) -> bool: ...
    @property
    def micro_app_current(self) -> bool: ...
    @property
    def frames_received(self) -> int: ...
    @property
    def messages_sent(self) -> int: ...
    @property
    def uploaded_image(self) -> bytes: ...
