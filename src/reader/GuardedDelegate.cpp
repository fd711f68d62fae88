// SPDX-License-Identifier: Apache-2.0
#include "reader/GuardedDelegate.hpp"

#include <exception>

#include "reader/Logging.hpp"

namespace orvex::detail {

void reportHostException(const char* what, std::exception_ptr thrown) noexcept {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception& e) {
        log(LogLevel::error, "{} threw: {}; the link goes on", what, e.what());
    } catch (...) {
        log(LogLevel::error, "{} threw a non-standard exception; the link goes on", what);
    }
}

void callHost(const char* what, const std::function<void()>& call) {
    guardedCall(what, call);
}

#define ORVEX_GUARD(name, ...) guardedCall("delegate callback " #name, [&] { host_.name(__VA_ARGS__); })

void GuardedDelegate::btReader() {
    ORVEX_GUARD(btReader);
}
void GuardedDelegate::btError(OrvexBluetoothError reason) {
    ORVEX_GUARD(btError, reason);
}
void GuardedDelegate::btPoweringDown() {
    ORVEX_GUARD(btPoweringDown);
}
void GuardedDelegate::bleDetected(const std::string& prefix, const std::string& deviceName) {
    ORVEX_GUARD(bleDetected, prefix, deviceName);
}
void GuardedDelegate::connecting() {
    ORVEX_GUARD(connecting);
}
void GuardedDelegate::connectionFailed(OrvexConnectionError error) {
    ORVEX_GUARD(connectionFailed, error);
}
void GuardedDelegate::readerConnected() {
    ORVEX_GUARD(readerConnected);
}
void GuardedDelegate::readerDisconnected(OrvexDisconnectionCause cause) {
    ORVEX_GUARD(readerDisconnected, cause);
}
void GuardedDelegate::scanReceived(std::optional<ScanResult> result, bool contactPending) {
    ORVEX_GUARD(scanReceived, std::move(result), contactPending);
}
void GuardedDelegate::readerScanning(bool active) {
    ORVEX_GUARD(readerScanning, active);
}
void GuardedDelegate::exportReceived(std::optional<ScanResult> result, long number) {
    ORVEX_GUARD(exportReceived, std::move(result), number);
}
void GuardedDelegate::scanFailed() {
    ORVEX_GUARD(scanFailed);
}
void GuardedDelegate::version(const std::string& text) {
    ORVEX_GUARD(version, text);
}
void GuardedDelegate::battery(long level) {
    ORVEX_GUARD(battery, level);
}
void GuardedDelegate::startUpdate(long slices) {
    ORVEX_GUARD(startUpdate, slices);
}
void GuardedDelegate::updateStatus(long slice) {
    ORVEX_GUARD(updateStatus, slice);
}
void GuardedDelegate::endUpdate(std::optional<OrvexDeviceUpdateStatus> status) {
    ORVEX_GUARD(endUpdate, status);
}

#undef ORVEX_GUARD

}  // namespace orvex::detail
