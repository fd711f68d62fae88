# SPDX-License-Identifier: Apache-2.0
"""The delegate base class, and how the link's thread calls into Python."""

from __future__ import annotations

import logging
from typing import Any, Callable, Optional

from ._enums import (
    OrvexBluetoothError,
    OrvexConnectionError,
    OrvexContactStatus,
    OrvexDeviceUpdateStatus,
    OrvexDisconnectionCause,
)

logger = logging.getLogger("orvex")


class ReaderDelegate:
    """Receives a link's events. Every method is optional; the defaults do nothing.

    The methods are called one at a time on the link's own thread, with the GIL taken.
    They may call the link again. An exception raised by one is reported to the
    ``orvex`` logger and the link goes on. Any object with some of these methods can be
    a delegate; deriving from this class only documents the intent.
    """

    def on_bt_reader(self) -> None:
        """The Bluetooth adapter is ready; connect_to_reader() may follow."""

    def on_bt_error(self, reason: OrvexBluetoothError) -> None:
        """The adapter cannot be used."""

    def on_bt_powering_down(self) -> None:
        """The reader announced it is switching off."""

    def on_ble_detected(self, prefix: str, device_name: str) -> None:
        """A step of discovery: a peripheral, a service or a characteristic seen."""

    def on_connecting(self) -> None:
        """The search for the reader started."""

    def on_connection_failed(self, error: OrvexConnectionError) -> None:
        """The connection attempt failed."""

    def on_reader_connected(self) -> None:
        """The reader answered; the link is connected."""

    def on_reader_disconnected(self, cause: OrvexDisconnectionCause) -> None:
        """The connection ended. The link never reconnects by itself."""

    def on_scan_received(self, result: Optional[Any], contact_pending: bool) -> None:
        """A reading (a ScanResult). For FDX-B tags it comes first with
        ``contact_pending`` true, then again once the stored contact has been read."""

    def on_reader_scanning(self, active: bool) -> None:
        """The reader's antenna went on or off."""

    def on_export_received(self, result: Optional[Any], number: int) -> None:
        """One stored reading sent by an export on the reader."""

    def on_scan_failed(self) -> None:
        """A reading asked for by scan() ended without a readable FDX-B tag."""

    def on_version(self, text: str) -> None:
        """The reader's version text."""

    def on_battery(self, level: int) -> None:
        """The battery level, in percent."""

    def on_start_update(self, slices: int) -> None:
        """A micro-app upload of this many slices started."""

    def on_update_status(self, slice: int) -> None:
        """The reader accepted this slice of the upload."""

    def on_end_update(self, status: Optional[OrvexDeviceUpdateStatus]) -> None:
        """The micro-app check or upload ended."""


def dispatch(target: Any, method: str, *args: Any) -> None:
    """Calls ``target.method(*args)`` if it exists; an exception goes to the logger."""
    handler = getattr(target, method, None)
    if handler is None:
        return
    try:
        handler(*args)
    except BaseException:  # the link's thread must go on whatever the host raised
        logger.exception("exception in delegate callback %s", method)


def complete(
    completion: Callable[[bool, OrvexContactStatus], Any], ok: bool, status: OrvexContactStatus
) -> None:
    """Calls a contact-write completion; an exception goes to the logger."""
    try:
        completion(ok, status)
    except BaseException:
        logger.exception("exception in write_contact completion")
