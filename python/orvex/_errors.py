# SPDX-License-Identifier: Apache-2.0
"""Exceptions raised by orvex.aio."""

from __future__ import annotations

from typing import Optional

from ._enums import OrvexBluetoothError, OrvexConnectionError, OrvexDisconnectionCause


class ReaderError(Exception):
    """Base class of the errors of a reader session."""


class BluetoothUnavailable(ReaderError):
    """The Bluetooth adapter cannot be used; ``reason`` says why."""

    def __init__(self, reason: OrvexBluetoothError) -> None:
        super().__init__(f"Bluetooth unusable: {reason.name}")
        self.reason = reason


class ConnectionFailed(ReaderError):
    """The reader could not be connected; ``error`` says why."""

    def __init__(self, error: OrvexConnectionError) -> None:
        super().__init__(f"connection failed: {error.name}")
        self.error = error


class Disconnected(ReaderError):
    """The reader is not connected (any more); ``cause`` says why, when known."""

    def __init__(self, cause: Optional[OrvexDisconnectionCause] = None) -> None:
        text = f"the reader disconnected: {cause.name}" if cause else "the reader is not connected"
        super().__init__(text)
        self.cause = cause


class ScanFailed(ReaderError):
    """A reading asked for ended without a readable FDX-B tag in the reader's field."""

    def __init__(self) -> None:
        super().__init__("no reading (no tag in the field, or not an FDX-B tag)")
