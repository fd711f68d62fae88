// SPDX-License-Identifier: Apache-2.0
#pragma once

// The five result enumerations reported to the host. Each value is identified by its
// case index (the underlying integer); they compare and hash like any enum class.

namespace orvex {

// Why the Bluetooth adapter cannot be used.
enum class OrvexBluetoothError {
    notReady,
    poweredOff,
    reseting,
    permissionRequired,
    undefinedState,
    unavailable,
};

// Why a connection attempt failed.
enum class OrvexConnectionError {
    connectionTimeout,
    badAnswer,
    connectionOutOfState,
    connectionRefused,
    bluetoothServicesUnavailable,
    bluetoothServicesDiscoveryFailed,
    bluetoothCharacteristicUnavailable,
    bluetoothCharacteristicDiscoveryFailed,
};

// Why an established connection ended.
enum class OrvexDisconnectionCause {
    bluetoothStatusChanged,
    connectionInterrupted,
};

// Outcome of a contact write.
enum class OrvexContactStatus {
    success,
    contactReadTimeout,
    writeOperationFailed,
    wrongChip,
    protocolError,
};

// Outcome of a micro-app upload.
enum class OrvexDeviceUpdateStatus {
    successful,
    failed,
    unableToStart,
    initializationError,
    readerLockingFailed,
    sliceUploadFailed,
    readerUnlockingFailed,
};

}  // namespace orvex
