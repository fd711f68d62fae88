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


def reader() -> Link:
    """The process-wide link, created on first use (by default on BlueZ)."""
    global _process_wide
    with _lock:
        if _process_wide is None:
            _process_wide = _core.process_wide_link()
        return _process_wide
