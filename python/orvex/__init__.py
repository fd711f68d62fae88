# SPDX-License-Identifier: Apache-2.0
"""orvex: drive a handheld LF RFID reader over Bluetooth LE from Python.

The package calls the OrvexSDK C++ library. It offers the records (Transponder, Scan,
ScanResult, Contact and the contact record codec), the link with a delegate whose
snake_case methods receive its events, the simulated platform and reader (``orvex.sim``),
and an asyncio interface (``orvex.aio``).
"""

from __future__ import annotations

import threading
from typing import Optional

from . import _core
from ._core import Contact, Link, Platform, Scan, ScanResult, Transponder
from ._delegate import ReaderDelegate
from ._enums import (
    OrvexBluetoothError,
    OrvexConnectionError,
    OrvexContactStatus,
    OrvexDeviceUpdateStatus,
    OrvexDisconnectionCause,
    TransponderType,
)
from ._errors import BluetoothUnavailable, ConnectionFailed, Disconnected, ReaderError, ScanFailed

__version__: str = _core.__version__

__all__ = [
    "BluetoothUnavailable",
    "ConnectionFailed",
    "Contact",
    "Disconnected",
    "Link",
    "OrvexBluetoothError",
    "OrvexConnectionError",
    "OrvexContactStatus",
    "OrvexDeviceUpdateStatus",
    "OrvexDisconnectionCause",
    "Platform",
    "ReaderDelegate",
    "ReaderError",
    "Scan",
    "ScanFailed",
    "ScanResult",
    "Transponder",
    "TransponderType",
    "bluez_platform",
    "create_link",
    "reader",
    "use_platform",
    "__version__",
]

_lock = threading.Lock()
_process_wide: Optional[Link] = None
_chosen_platform: Optional[Platform] = None


def use_platform(platform: Platform) -> bool:
    """Chooses the platform of the process-wide link before its first use.

    Returns False, and changes nothing, once ``reader()`` has created the link.
    """
    global _chosen_platform
    with _lock:
        if not _core.use_platform(platform):
            return False
        _chosen_platform = platform
        return True


def _process_wide_platform() -> Optional[Platform]:
    """The platform chosen for the process-wide link (None: the default one)."""
    return _chosen_platform


def create_link(platform: Platform) -> Link:
    """A link of its own on ``platform``, beside the process-wide one.

    Each link has its own delegate; bind it to one reader with ``set_reader_address()``
    so that several links on one platform never take the same reader. The link lets its
    reader go when the last reference to it is dropped.
    """
    return _core.create_link(platform)


def bluez_platform(
    *,
    adapter: str = "",
    bus_address: Optional[str] = None,
    micro_app_image: Optional[str] = None,
    call_timeout: float = 5.0,
    connect_timeout: float = 20.0,
) -> Platform:
    """A BlueZ platform with the given adapter (``"hci1"``; empty: the first one) and bus
    (empty: the system bus), for ``create_link()`` or ``use_platform()``.

    Raises ``ValueError`` with the reason when it cannot be made: a time limit out of
    range, no such adapter, no BlueZ on the bus, or a library built without BlueZ.
    """
    return _core.bluez_platform(
        adapter=adapter,
        bus_address=bus_address,
        micro_app_image=micro_app_image,
        call_timeout=call_timeout,
        connect_timeout=connect_timeout,
    )


def reader() -> Link:
    """The process-wide link, created on first use (by default on BlueZ)."""
    global _process_wide
    with _lock:
        if _process_wide is None:
            _process_wide = _core.process_wide_link()
        return _process_wide
