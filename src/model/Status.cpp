// SPDX-License-Identifier: Apache-2.0
#include "orvex/Status.hpp"

// Every switch lists all cases and has no default, so a case added to an enumeration
// without a name here is a compiler warning (an error in CI).

namespace orvex {

namespace {
constexpr std::string_view kUnknown = "unknown";
}  // namespace

std::string_view to_string(OrvexBluetoothError value) noexcept {
    switch (value) {
        case OrvexBluetoothError::notReady:
            return "notReady";
        case OrvexBluetoothError::poweredOff:
            return "poweredOff";
        case OrvexBluetoothError::reseting:
            return "reseting";
        case OrvexBluetoothError::permissionRequired:
            return "permissionRequired";
        case OrvexBluetoothError::undefinedState:
            return "undefinedState";
        case OrvexBluetoothError::unavailable:
            return "unavailable";
    }
    return kUnknown;
}

std::string_view to_string(OrvexConnectionError value) noexcept {
    switch (value) {
        case OrvexConnectionError::connectionTimeout:
            return "connectionTimeout";
        case OrvexConnectionError::badAnswer:
            return "badAnswer";
        case OrvexConnectionError::connectionOutOfState:
            return "connectionOutOfState";
        case OrvexConnectionError::connectionRefused:
            return "connectionRefused";
        case OrvexConnectionError::bluetoothServicesUnavailable:
            return "bluetoothServicesUnavailable";
        case OrvexConnectionError::bluetoothServicesDiscoveryFailed:
            return "bluetoothServicesDiscoveryFailed";
        case OrvexConnectionError::bluetoothCharacteristicUnavailable:
            return "bluetoothCharacteristicUnavailable";
        case OrvexConnectionError::bluetoothCharacteristicDiscoveryFailed:
            return "bluetoothCharacteristicDiscoveryFailed";
    }
    return kUnknown;
}

std::string_view to_string(OrvexDisconnectionCause value) noexcept {
    switch (value) {
        case OrvexDisconnectionCause::bluetoothStatusChanged:
            return "bluetoothStatusChanged";
        case OrvexDisconnectionCause::connectionInterrupted:
            return "connectionInterrupted";
    }
    return kUnknown;
}

std::string_view to_string(OrvexContactStatus value) noexcept {
    switch (value) {
        case OrvexContactStatus::success:
            return "success";
        case OrvexContactStatus::contactReadTimeout:
            return "contactReadTimeout";
        case OrvexContactStatus::writeOperationFailed:
            return "writeOperationFailed";
        case OrvexContactStatus::wrongChip:
            return "wrongChip";
        case OrvexContactStatus::protocolError:
            return "protocolError";
    }
    return kUnknown;
}

std::string_view to_string(OrvexDeviceUpdateStatus value) noexcept {
    switch (value) {
        case OrvexDeviceUpdateStatus::successful:
            return "successful";
        case OrvexDeviceUpdateStatus::failed:
            return "failed";
        case OrvexDeviceUpdateStatus::unableToStart:
            return "unableToStart";
        case OrvexDeviceUpdateStatus::initializationError:
            return "initializationError";
        case OrvexDeviceUpdateStatus::readerLockingFailed:
            return "readerLockingFailed";
        case OrvexDeviceUpdateStatus::sliceUploadFailed:
            return "sliceUploadFailed";
        case OrvexDeviceUpdateStatus::readerUnlockingFailed:
            return "readerUnlockingFailed";
    }
    return kUnknown;
}

}  // namespace orvex
