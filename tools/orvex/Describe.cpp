// SPDX-License-Identifier: Apache-2.0
#include "Describe.hpp"

namespace orvex::cli {

std::string describe(OrvexBluetoothError error) {
    switch (error) {
        case OrvexBluetoothError::notReady:
            return "Bluetooth is not ready";
        case OrvexBluetoothError::poweredOff:
            return "Bluetooth is switched off";
        case OrvexBluetoothError::reseting:
            return "Bluetooth is resetting";
        case OrvexBluetoothError::permissionRequired:
            return "not allowed to use Bluetooth";
        case OrvexBluetoothError::undefinedState:
            return "the Bluetooth state is not known yet";
        case OrvexBluetoothError::unavailable:
            return "no Bluetooth LE on this machine";
    }
    return "unknown Bluetooth error";
}

std::string describe(OrvexConnectionError error) {
    switch (error) {
        case OrvexConnectionError::connectionTimeout:
            return "no reader found and connected within 10 s";
        case OrvexConnectionError::badAnswer:
            return "the reader gave a bad answer to the first ping";
        case OrvexConnectionError::connectionOutOfState:
            return "the connection dropped while it was being set up";
        case OrvexConnectionError::connectionRefused:
            return "the reader refused the connection";
        case OrvexConnectionError::bluetoothServicesUnavailable:
            return "the reader offers no serial service";
        case OrvexConnectionError::bluetoothServicesDiscoveryFailed:
            return "service discovery failed";
        case OrvexConnectionError::bluetoothCharacteristicUnavailable:
            return "the reader's serial service has no usable characteristic";
        case OrvexConnectionError::bluetoothCharacteristicDiscoveryFailed:
            return "characteristic discovery failed";
    }
    return "unknown connection error";
}

std::string describe(OrvexDisconnectionCause cause) {
    switch (cause) {
        case OrvexDisconnectionCause::bluetoothStatusChanged:
            return "the Bluetooth adapter changed state";
        case OrvexDisconnectionCause::connectionInterrupted:
            return "the connection ended";
    }
    return "unknown cause";
}

std::string describe(OrvexContactStatus status) {
    switch (status) {
        case OrvexContactStatus::success:
            return "written";
        case OrvexContactStatus::contactReadTimeout:
            return "no tag was read in time";
        case OrvexContactStatus::writeOperationFailed:
            return "the reader rejected the write or did not confirm it";
        case OrvexContactStatus::wrongChip:
            return "the tag in the reader's field is another tag";
        case OrvexContactStatus::protocolError:
            return "an unexpected message interrupted the write";
    }
    return "unknown outcome";
}

std::string describe(OrvexDeviceUpdateStatus status) {
    switch (status) {
        case OrvexDeviceUpdateStatus::successful:
            return "updated";
        case OrvexDeviceUpdateStatus::failed:
            return "the update failed";
        case OrvexDeviceUpdateStatus::unableToStart:
            return "the update could not start";
        case OrvexDeviceUpdateStatus::initializationError:
            return "no micro-app image available";
        case OrvexDeviceUpdateStatus::readerLockingFailed:
            return "the reader refused the lock";
        case OrvexDeviceUpdateStatus::sliceUploadFailed:
            return "the reader refused a slice";
        case OrvexDeviceUpdateStatus::readerUnlockingFailed:
            return "the reader refused the unlock";
    }
    return "unknown outcome";
}

std::string caseName(OrvexContactStatus status) {
    switch (status) {
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
    return "unknown";
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::string describeReading(const std::optional<ScanResult>& result) {
    if (!result || !result->scan || !result->scan->xpdr) return "no transponder";
    const auto& xpdr = *result->scan->xpdr;
    return xpdr.typename_() + " " + xpdr.id;
}

std::string describeContact(const std::optional<ScanResult>& result) {
    if (!result || !result->contact) return "no contact";
    return trimmed(result->contact->phone) + " / " + trimmed(result->contact->name);
}

std::string withoutPadding(std::string_view text) {
    const auto end = text.find_last_not_of(std::string_view(" \0", 2));
    return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

nlohmann::ordered_json readingJson(const std::optional<ScanResult>& result) {
    nlohmann::ordered_json out;
    if (result && result->scan && result->scan->xpdr) {
        const auto& xpdr = *result->scan->xpdr;
        out["id"] = xpdr.id;
        out["type"] = xpdr.type;
        out["typeName"] = xpdr.typename_();
    } else {
        out["id"] = nullptr;
        out["type"] = nullptr;
        out["typeName"] = nullptr;
    }
    if (result && result->contact) {
        out["contact"] = {{"phone", withoutPadding(result->contact->phone)},
                          {"name", withoutPadding(result->contact->name)}};
    } else {
        out["contact"] = nullptr;
    }
    return out;
}

}  // namespace orvex::cli
