// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// The five result enumerations reported to the host, and their names for logs.
///
/// Each value is identified by its case index (the underlying integer, counted from 0 in
/// declaration order); the indexes are stable and never reordered. They compare and hash
/// like any enum class. They are plain outcomes, not exceptions: the library never throws
/// them.

#include <string_view>

#include "orvex/Export.hpp"

namespace orvex {

/// Why the Bluetooth adapter cannot be used. Passed to ReaderInterfaceDelegate::btError().
///
/// Reported only while no reader is connected: when the adapter changes state under a
/// connected reader, the host gets ReaderInterfaceDelegate::readerDisconnected() with
/// OrvexDisconnectionCause::bluetoothStatusChanged instead.
enum class OrvexBluetoothError {
    /// ReaderInterface::connectToReader() was called before the adapter had ever reported
    /// powered on (ReaderInterface::isReady() false). Nothing else happens; call it again
    /// after ReaderInterfaceDelegate::btReader().
    notReady,
    /// The adapter reported powered off.
    poweredOff,
    /// Declared for an adapter that is resetting; the link never reports it (a resetting
    /// adapter with no reader connected goes unreported).
    reseting,
    /// The process is not allowed to use the adapter (on BlueZ: the system bus refused
    /// access to `org.bluez`).
    permissionRequired,
    /// The adapter's state is not known yet.
    undefinedState,
    /// This system has no usable Bluetooth (on BlueZ: no BlueZ service, or no adapter).
    unavailable,
};

/// Why a connection attempt failed. Passed to ReaderInterfaceDelegate::connectionFailed().
///
/// A failed attempt may be reported more than once: the failing step is reported first,
/// then the end of the Bluetooth connection that the link cancels (connectionOutOfState),
/// and, where the connection timer is still running, connectionTimeout when it fires.
/// After any of them the link is idle and not connected; it never retries by itself.
enum class OrvexConnectionError {
    /// The connection timer ran out (10 seconds after ReaderInterface::connectToReader())
    /// with no reader in hand: none was found, or an attempt that had already failed left
    /// the timer running.
    connectionTimeout,
    /// The reader's first answer to the handshake ping was not an acknowledgement. The link
    /// cancels the connection. Readings, export records and battery levels that the reader
    /// sends on its own before that answer are reported, not taken for it (a reading's
    /// final report then comes without its contact, before this failure).
    badAnswer,
    /// The Bluetooth connection ended before the handshake completed: the reader dropped it,
    /// or the link cancelled it after an earlier failure, after finding no usable
    /// characteristic, or because the reader did not answer the handshake in time.
    connectionOutOfState,
    /// The platform could not connect to the reader that was found.
    connectionRefused,
    /// Service discovery ended without a list of services. The link cancels the connection.
    bluetoothServicesUnavailable,
    /// Service discovery reported an error. The link cancels the connection.
    bluetoothServicesDiscoveryFailed,
    /// Characteristic discovery ended without a list of characteristics. The link cancels
    /// the connection.
    bluetoothCharacteristicUnavailable,
    /// Characteristic discovery reported an error. The link cancels the connection.
    bluetoothCharacteristicDiscoveryFailed,
};

/// Why an established connection ended. Passed to
/// ReaderInterfaceDelegate::readerDisconnected().
enum class OrvexDisconnectionCause {
    /// The adapter left the powered-on state while the reader was connected.
    bluetoothStatusChanged,
    /// The connection ended: the reader dropped it or went out of range,
    /// ReaderInterface::disconnectFromReader() was called, or the link dropped a reader
    /// that stopped answering.
    connectionInterrupted,
};

/// Outcome of a contact write, passed with a success flag to the completion of
/// ReaderInterface::writeContact(). The flag is true only together with success.
enum class OrvexContactStatus {
    /// The reader confirmed that it wrote the contact to the tag.
    success,
    /// The reader did not read a tag within 21 seconds of the write's start (no tag in its
    /// field, or no answer), or the connection was lost before the tag was read.
    contactReadTimeout,
    /// The reader refused the contact, did not answer it within 21 seconds, or the
    /// connection was lost after the contact was sent.
    writeOperationFailed,
    /// The tag in the reader's field is not the one the host named; nothing was written.
    wrongChip,
    /// The write was refused: no reader was connected, or another write, a micro-app upload,
    /// a scan or its contact read was under way (which goes on undisturbed).
    protocolError,
};

/// Outcome of a micro-app upload. Passed to ReaderInterfaceDelegate::endUpdate().
enum class OrvexDeviceUpdateStatus {
    /// Every slice was accepted and the reader unlocked again.
    successful,
    /// The connection ended (or the adapter was switched off) while the upload was under
    /// way. Reported before the disconnection itself.
    failed,
    /// Declared for an upload that could not start; the link does not report it (an image
    /// too short to upload is reported as initializationError).
    unableToStart,
    /// There was no usable image: none was set with
    /// ReaderInterface::setMicroAppImagePath() (or that file could not be read), the
    /// platform supplied none and none was built into the library, or the image is shorter
    /// than its 16-byte head. Nothing was sent to the reader.
    initializationError,
    /// The reader refused the lock that opens the upload.
    readerLockingFailed,
    /// The reader refused a slice. The upload ends there.
    sliceUploadFailed,
    /// Declared for a refused unlock after a failed upload; the link does not report it, as
    /// a refused slice already ends the upload with sliceUploadFailed.
    readerUnlockingFailed,
};

/// @name Names for logs
/// The case's name exactly as declared (`to_string(OrvexContactStatus::wrongChip)` is
/// `"wrongChip"`). The names are stable across versions. A value outside the declared
/// cases (made with a cast) gives `"unknown"`. The views refer to static storage.
/// @{

/// Name of an OrvexBluetoothError case.
ORVEX_EXPORT std::string_view to_string(OrvexBluetoothError value) noexcept;
/// Name of an OrvexConnectionError case.
ORVEX_EXPORT std::string_view to_string(OrvexConnectionError value) noexcept;
/// Name of an OrvexDisconnectionCause case.
ORVEX_EXPORT std::string_view to_string(OrvexDisconnectionCause value) noexcept;
/// Name of an OrvexContactStatus case.
ORVEX_EXPORT std::string_view to_string(OrvexContactStatus value) noexcept;
/// Name of an OrvexDeviceUpdateStatus case.
ORVEX_EXPORT std::string_view to_string(OrvexDeviceUpdateStatus value) noexcept;

/// @}

}  // namespace orvex
