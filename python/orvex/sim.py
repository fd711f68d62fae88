# SPDX-License-Identifier: Apache-2.0
"""The simulated platform and reader: run whole sessions with no hardware.

A ``SimPlatform`` in ``Clock.realTime`` runs its own loop thread; ``SimReader.attach``
adds a simulated reader to it that the link finds by its advertised name.
"""

from __future__ import annotations

import threading
from typing import Optional

from ._core import DeviceTiming, SimFaults, SimPlatform, SimReader, SimReaderConfig, SimTag
from ._enums import Clock, ManagerState, SimReadingFormat, SimService

__all__ = [
    "Clock",
    "DeviceTiming",
    "ManagerState",
    "SimFaults",
    "SimPlatform",
    "SimReader",
    "SimReaderConfig",
    "SimReadingFormat",
    "SimService",
    "SimTag",
    "shared_platform",
]

_lock = threading.Lock()
_shared: Optional[SimPlatform] = None


def shared_platform() -> SimPlatform:
    """The real-time simulated platform of the process-wide link, made on first use.

    The process-wide link runs on one platform for the life of the process; the simulated
    sessions of ``orvex.aio`` all happen on this one, each with a reader of its own.
    """
    global _shared
    with _lock:
        if _shared is None:
            _shared = SimPlatform(Clock.realTime)
        return _shared
