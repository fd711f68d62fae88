// SPDX-License-Identifier: Apache-2.0
// Connection lifecycle: adapter state, the search by advertised name, connection, GATT
// discovery up to the handshake, the connection timer and every disconnection.

#include <algorithm>
#include <cctype>
#include <string>

#include "reader/ContactUpdater.hpp"
#include "reader/Link.hpp"
#include "reader/Logging.hpp"

namespace orvex::detail {
namespace {

// A peripheral in a log message, described only when the message is logged: these lines
// come with every connection, mostly with no handler listening.
struct Described {
    const platform::Peripheral& peripheral;
};

}  // namespace
}  // namespace orvex::detail

template <>
struct fmt::formatter<orvex::detail::Described> : fmt::formatter<std::string_view> {
    auto format(const orvex::detail::Described& d, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(orvex::detail::describe(d.peripheral), ctx);
    }
};

namespace orvex::detail {

namespace {

bool sameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

bool isKnownCharacteristic(const platform::Uuid& uuid) {
    for (const auto& known : KnownCharacteristics) {
        if (known == uuid) return true;
    }
    return false;
}

}  // namespace

bool Link::selects(const platform::Peripheral& peripheral,
                   const std::optional<std::string>& name) const {
    if (!readerAddress_.empty() && !sameAddress(peripheral.identifier(), readerAddress_)) {
        return false;
    }
    if (!readerName_.empty()) return name && *name == readerName_;
    return name && isReaderName(*name);
}

void Link::doInitializeBluetooth() {
    if (!platform_) return;
    // The manager reports its first state later, on this queue.
    btCentralManager = platform_->createCentralManager(weak_from_this());
    syncScanning();
}

void Link::centralManagerDidUpdateState(platform::ManagerState managerState) {
    using platform::ManagerState;
    syncScanning();
    log(LogLevel::info, "adapter state {}", static_cast<int>(managerState));
    if (managerState == ManagerState::poweredOn) {
        isConnected_.store(false);
        state = State::idle;
        isReady_.store(true);
        report([](auto& d) { d.btReader(); });
        return;
    }
    if (isConnected_.load()) {
        lostLinkReport();
        return;
    }
    switch (managerState) {
        case ManagerState::unknown:
            report([](auto& d) { d.btError(OrvexBluetoothError::undefinedState); });
            break;
        case ManagerState::unsupported:
            report([](auto& d) { d.btError(OrvexBluetoothError::unavailable); });
            break;
        case ManagerState::unauthorized:
            report([](auto& d) { d.btError(OrvexBluetoothError::permissionRequired); });
            break;
        case ManagerState::poweredOff:
            report([](auto& d) { d.btError(OrvexBluetoothError::poweredOff); });
            break;
        case ManagerState::resetting:
        case ManagerState::poweredOn:
            break;
    }
}

// The adapter left the powered-on state under an established link. The link is over: it
// lets the peripheral go and stops its timers, so nothing more is written and nothing heard
// from the reader starts a connection again; a new one starts only from connectToReader(). The
// platform's report of the connection's end, if it comes, then finds nothing to report.
void Link::lostLinkReport() {
    endOutstandingExchanges();
    isConnected_.store(false);
    state = State::idle;
    endLink();
    report([](auto& d) { d.readerDisconnected(OrvexDisconnectionCause::bluetoothStatusChanged); });
}

void Link::endLink() {
    stopTimer(watchdogTimer, true);
    stopTimer(connectionTimer, true);
    forgetReceived();
    if (readerPeripheral) {
        cancelReaderConnection();
        releasedPeripheral_ = readerPeripheral;
        readerPeripheral.reset();
    }
    readerCharacteristic.reset();
    readerUartReadCharacteristic.reset();
}

void Link::doConnectToReader() {
    if (!isReady_.load()) {
        report([](auto& d) { d.btError(OrvexBluetoothError::notReady); });
        return;
    }
    report([](auto& d) { d.connecting(); });
    if (isConnected_.load()) {
        // The reader is already there: the attempt ends at once, the live link untouched.
        report([](auto& d) { d.readerConnected(); });
        return;
    }
    attemptOpen = true;
    if (logs(LogLevel::info)) {
        log(LogLevel::info, "searching for the reader (address {}, name {})",
            readerAddress_.empty() ? "any" : readerAddress_,
            readerName_.empty() ? "with a reader name fragment" : "\"" + readerName_ + "\"");
    }
    if (btCentralManager) btCentralManager->scanForPeripherals();
    syncScanning();
    // One attempt, one timer: an earlier one must not end the attempt before its time.
    stopTimer(connectionTimer, true);
    connectionTimer = schedule(CONNECTION_TIMEOUT, false, &Link::connectionTimeout);
}

void Link::failConnection(OrvexConnectionError error) {
    if (!attemptOpen) return;
    attemptOpen = false;
    stopTimer(connectionTimer, true);
    // The probes stop with the attempt.
    stopTimer(watchdogTimer, true);
    report([error](auto& d) { d.connectionFailed(error); });
}

void Link::abandonReaderConnection() {
    readerCharacteristic.reset();
    readerUartReadCharacteristic.reset();
    cancelReaderConnection();
}

void Link::didDiscover(const std::shared_ptr<platform::Peripheral>& peripheral) {
    const auto name = peripheral->name();
    report([&](auto& d) {
        d.bleDetected(std::string(DETECTED_DEVICES), name ? *name : std::string(UNNAMED));
    });
    if (!selects(*peripheral, name)) return;
    releasedPeripheral_.reset();
    log(LogLevel::info, "connecting to {}", Described{*peripheral});
    readerPeripheral = peripheral;
    peripheral->setDelegate(weak_from_this());
    if (btCentralManager) {
        btCentralManager->stopScan();
        syncScanning();
        btCentralManager->connect(peripheral);
    }
}

void Link::didConnect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    log(LogLevel::info, "connected to {}; discovering services", Described{*peripheral});
    peripheral->discoverServices(KnownServices);
}

void Link::didFailToConnect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    log(LogLevel::error, "connection to {} refused", Described{*peripheral});
    // readerPeripheral keeps the refused peripheral.
    isConnected_.store(false);
    failConnection(OrvexConnectionError::connectionRefused);
}

void Link::didDiscoverServices(const std::shared_ptr<platform::Peripheral>& peripheral,
                               const std::optional<platform::ServiceList>& services, bool error) {
    if (!services || error) {
        log(LogLevel::error, "service discovery on {} {}", Described{*peripheral},
            error ? "failed" : "gave no list");
        if (btCentralManager) btCentralManager->cancelPeripheralConnection(peripheral);
        failConnection(!services ? OrvexConnectionError::bluetoothServicesUnavailable
                                 : OrvexConnectionError::bluetoothServicesDiscoveryFailed);
        return;
    }
    report([](auto& d) { d.bleDetected("", ""); });
    for (const auto& service : *services) {
        report([&](auto& d) {
            d.bleDetected(std::string(DISCOVERED_SERVICES), service->uuid().str());
        });
        peripheral->discoverCharacteristics(KnownCharacteristics, service);
    }
}

void Link::didDiscoverCharacteristics(
    const std::shared_ptr<platform::Peripheral>& peripheral,
    const std::shared_ptr<platform::Service>&,
    const std::optional<platform::CharacteristicList>& characteristics, bool error) {
    if (!characteristics || error) {
        log(LogLevel::error, "characteristic discovery on {} {}", Described{*peripheral},
            error ? "failed" : "gave no list");
        if (btCentralManager) btCentralManager->cancelPeripheralConnection(peripheral);
        failConnection(!characteristics
                           ? OrvexConnectionError::bluetoothCharacteristicUnavailable
                           : OrvexConnectionError::bluetoothCharacteristicDiscoveryFailed);
        return;
    }
    report([](auto& d) { d.bleDetected("", ""); });
    bool haveRead = false;
    bool haveWrite = false;
    for (const auto& characteristic : *characteristics) {
        const auto uuid = characteristic->uuid();
        report(
            [&](auto& d) { d.bleDetected(std::string(DISCOVERED_CHARACTERISTICS), uuid.str()); });
        if (!isKnownCharacteristic(uuid)) continue;
        if (uuid == GenericCharacteristic) {
            peripheral->setNotifyValue(true, characteristic);
            readerCharacteristic = characteristic;
            readerUartReadCharacteristic = characteristic;
            characteristicsReady();
            return;
        }
        if (uuid == UARTWriteCharacteristic) {
            characteristicWriteType = platform::WriteType::withResponse;
            readerCharacteristic = characteristic;
            haveWrite = true;
        } else {
            peripheral->setNotifyValue(true, characteristic);
            readerUartReadCharacteristic = characteristic;
            haveRead = true;
        }
        if (haveRead && haveWrite) {
            characteristicsReady();
            return;
        }
    }
    // No usable pair in this service: let the peripheral go. The disconnection that follows
    // is the attempt's outcome.
    if (btCentralManager) btCentralManager->cancelPeripheralConnection(peripheral);
    readerPeripheral.reset();
}

// The characteristics are known: the watchdog takes over and probes the reader at once.
void Link::characteristicsReady() {
    log(LogLevel::info, "characteristics ready; probing the reader");
    // A second service that also becomes ready replaces the watchdog rather than leaving
    // an unreferenced repeating timer behind.
    stopTimer(watchdogTimer, true);
    watchdogTimer = schedule(WATCHDOG_INTERVAL, true, &Link::watchdog);
    watchdog();
}

void Link::connectionTimeout() {
    log(LogLevel::info, "connection timer fired {}", readerPeripheral ? "before the handshake ended" : "with no reader found");
    if (btCentralManager && btCentralManager->isScanning()) {
        btCentralManager->stopScan();
        syncScanning();
    }
    // A link that has completed its handshake is never the timer's to end.
    if (isConnected_.load()) return;
    if (readerPeripheral) {
        // The disconnection callback reports the outcome.
        abandonReaderConnection();
        return;
    }
    failConnection(OrvexConnectionError::connectionTimeout);
    isConnected_.store(false);
    state = State::idle;
}

void Link::cancelReaderConnection() {
    if (btCentralManager && readerPeripheral) {
        btCentralManager->cancelPeripheralConnection(readerPeripheral);
    }
}

void Link::didDisconnect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    log(LogLevel::info, "{} disconnected", Described{*peripheral});
    if (auto released = releasedPeripheral_.lock(); released && released == peripheral) {
        // The end of a link already reported over: it must not end an attempt made since.
        releasedPeripheral_.reset();
        return;
    }
    stopTimer(watchdogTimer, true);
    forgetReceived();
    readerPeripheral.reset();
    readerCharacteristic.reset();
    endOutstandingExchanges();
    if (isConnected_.load()) {
        isConnected_.store(false);
        report(
            [](auto& d) { d.readerDisconnected(OrvexDisconnectionCause::connectionInterrupted); });
    } else {
        failConnection(OrvexConnectionError::connectionOutOfState);
    }
    state = State::idle;
}

void Link::forgetReceived() {
    msgCounter = 0;
    silentTicks = 0;
    framer_.clear();
    hasLastExportRecord = false;
    hasLastMessage = false;
}

void Link::doDisconnectFromReader() {
    if (readerPeripheral) {
        cancelReaderConnection();
        return;
    }
    isConnected_.store(false);
    state = State::idle;
}

// An upload cannot outlive its connection: it is reported as failed and dropped, so the
// next connection starts with a fresh micro-app check.
void Link::endOutstandingExchanges() {
    endInterruptedUpload();
    endInterruptedScan();
    if (auto updater = contactUpdater) updater->connectionLost();
}

void Link::endInterruptedUpload() {
    if (!readerUpdater) return;
    endUpload(OrvexDeviceUpdateStatus::failed);
    state = State::idle;
}

}  // namespace orvex::detail
