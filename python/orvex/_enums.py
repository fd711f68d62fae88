# SPDX-License-Identifier: Apache-2.0
"""The library's enumerations, as Python enumerations.

Names and member order are those of the C++ library; each member's value is its case index.
"""

from __future__ import annotations

import enum

__all__ = [
    "OrvexBluetoothError",
    "OrvexConnectionError",
    "OrvexDisconnectionCause",
    "OrvexContactStatus",
    "OrvexDeviceUpdateStatus",
    "TransponderType",
    "ManagerState",
    "Clock",
    "SimService",
    "SimReadingFormat",
]


class OrvexBluetoothError(enum.Enum):
    """Why the Bluetooth adapter cannot be used."""

    notReady = 0
    poweredOff = 1
    reseting = 2
    permissionRequired = 3
    undefinedState = 4
    unavailable = 5


class OrvexConnectionError(enum.Enum):
    """Why a connection attempt failed."""

    connectionTimeout = 0
    badAnswer = 1
    connectionOutOfState = 2
    connectionRefused = 3
    bluetoothServicesUnavailable = 4
    bluetoothServicesDiscoveryFailed = 5
    bluetoothCharacteristicUnavailable = 6
    bluetoothCharacteristicDiscoveryFailed = 7


class OrvexDisconnectionCause(enum.Enum):
    """Why an established connection ended."""

    bluetoothStatusChanged = 0
    connectionInterrupted = 1


class OrvexContactStatus(enum.Enum):
    """Outcome of a contact write."""

    success = 0
    contactReadTimeout = 1
    writeOperationFailed = 2
    wrongChip = 3
    protocolError = 4


class OrvexDeviceUpdateStatus(enum.Enum):
    """Outcome of a micro-app upload."""

    successful = 0
    failed = 1
    unableToStart = 2
    initializationError = 3
    readerLockingFailed = 4
    sliceUploadFailed = 5
    readerUnlockingFailed = 6


class TransponderType(enum.IntEnum):
    """The raw type values of Transponder.type."""

    none = 0
    HDX = 1
    iHDX = 2
    FDXA = 3
    FDXB = 4
    iFDXB = 5
    EM4102 = 6


class ManagerState(enum.Enum):
    """State of a (simulated) Bluetooth adapter."""

    unknown = 0
    resetting = 1
    unsupported = 2
    unauthorized = 3
    poweredOff = 4
    poweredOn = 5


class Clock(enum.Enum):
    """How a SimPlatform keeps time."""

    virtualTime = 0
    """Starts at 0 and moves only in run_until_idle()/advance(); fully deterministic."""
    realTime = 1
    """The wall clock; the platform's own thread runs the loop."""


class SimService(enum.Enum):
    """Which GATT layout the simulated reader offers."""

    uart = 0
    serial16 = 1


class SimReadingFormat(enum.Enum):
    """How a reading made on the simulated reader's trigger is sent."""

    packed = 0
    text = 1
