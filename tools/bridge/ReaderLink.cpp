// SPDX-License-Identifier: Apache-2.0
#include "ReaderLink.hpp"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "Log.hpp"
#include "Payloads.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::bridge {

namespace {

std::string describe(OrvexConnectionError error) {
    switch (error) {
        case OrvexConnectionError::connectionTimeout:
            return "connection timed out";
        case OrvexConnectionError::badAnswer:
            return "bad answer from the reader";
        case OrvexConnectionError::connectionOutOfState:
            return "connection out of state";
        case OrvexConnectionError::connectionRefused:
            return "connection refused";
        case OrvexConnectionError::bluetoothServicesUnavailable:
            return "serial service unavailable";
        case OrvexConnectionError::bluetoothServicesDiscoveryFailed:
            return "service discovery failed";
        case OrvexConnectionError::bluetoothCharacteristicUnavailable:
            return "serial characteristic unavailable";
        case OrvexConnectionError::bluetoothCharacteristicDiscoveryFailed:
            return "characteristic discovery failed";
    }
    return "connection failed";
}

std::string describe(OrvexBluetoothError error) {
    switch (error) {
        case OrvexBluetoothError::notReady:
            return "Bluetooth not ready";
        case OrvexBluetoothError::poweredOff:
            return "Bluetooth adapter powered off";
        case OrvexBluetoothError::reseting:
            return "Bluetooth adapter resetting";
        case OrvexBluetoothError::permissionRequired:
            return "Bluetooth permission required";
        case OrvexBluetoothError::undefinedState:
            return "Bluetooth in an undefined state";
        case OrvexBluetoothError::unavailable:
            return "Bluetooth unavailable";
    }
    return "Bluetooth error";
}

std::string describe(OrvexDisconnectionCause cause) {
    return cause == OrvexDisconnectionCause::bluetoothStatusChanged ? "Bluetooth state changed"
                                                                    : "connection interrupted";
}

// Stored readings for the simulated reader: a mix of tag types with distinct numbers.
std::vector<sim::SimTag> storedReadings(std::size_t count) {
    static const std::int8_t types[] = {4, 1, 6, 4, 2};
    std::vector<sim::SimTag> tags;
    for (std::size_t i = 0; i < count; ++i) {
        sim::SimTag tag;
        tag.type = types[i % std::size(types)];
        tag.country = 999;
        tag.nationalNumber = 100000 + i;
        tags.push_back(tag);
    }
    return tags;
}

}  // namespace

// Runs on the link's serial context; hands every report to the event loop.
class ReaderLink::Delegate : public ReaderInterfaceDelegate {
public:
    Delegate(EventLoop& loop, ReaderLink* owner) : loop_(loop), owner_(owner) {}

    void post(ReaderEvent event) {
        loop_.post([owner = owner_, event = std::move(event)] { owner->handle(event); });
    }
    void post(ReaderEvent::Kind kind, std::string text = {}) {
        ReaderEvent e{kind, std::nullopt};
        e.text = std::move(text);
        post(std::move(e));
    }

    void btReader() override {
        loop_.post([owner = owner_] {
            if (!owner->stopped_ && !owner->connected_) owner->reader_->connectToReader();
        });
    }
    void btError(OrvexBluetoothError reason) override {
        post(ReaderEvent::Kind::bluetoothError, describe(reason));
    }
    void connecting() override { post(ReaderEvent::Kind::connecting); }
    void connectionFailed(OrvexConnectionError error) override {
        post(ReaderEvent::Kind::connectionFailed, describe(error));
    }
    void readerConnected() override { post(ReaderEvent::Kind::connected); }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        post(ReaderEvent::Kind::disconnected, describe(cause));
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        // The first report of an FDX-B tag comes before its contact is read; the reading
        // is published once, complete.
        if (contactPending) return;
        if (!result) {
            post(ReaderEvent::Kind::scanFailed);
            return;
        }
        ReaderEvent e{ReaderEvent::Kind::reading, std::move(result)};
        post(std::move(e));
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult> result, long number) override {
        ReaderEvent e{ReaderEvent::Kind::exportRecord, std::move(result)};
        e.number = number;
        e.time = e.result && e.result->scan ? e.result->scan->date : nowSeconds();
        post(std::move(e));
    }
    void scanFailed() override { post(ReaderEvent::Kind::scanFailed); }
    void version(const std::string& text) override { post(ReaderEvent::Kind::version, text); }
    void battery(long level) override {
        ReaderEvent e{ReaderEvent::Kind::battery, std::nullopt};
        e.number = level;
        post(std::move(e));
    }
    void startUpdate(long) override { post(ReaderEvent::Kind::updateStarted); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        post(ReaderEvent::Kind::updateEnded, status ? updateStatusName(*status) : "update-ended");
    }

private:
    EventLoop& loop_;
    ReaderLink* owner_;
};

ReaderLink::ReaderLink(const BridgeConfig& config, EventLoop& loop, Listener listener)
    : config_(config), loop_(loop), listener_(std::move(listener)), backoff_(config.reconnectMin) {}

ReaderLink::~ReaderLink() {
    stop();
}

std::unique_ptr<ReaderLink> ReaderLink::open(const BridgeConfig& config, const ReaderSpec& wanted,
                                             EventLoop& loop, Listener listener,
                                             std::string& error) {
    if (config.readers.size() > 1 || !wanted.address.empty()) {
        error =
            "this build links one reader per bridge, found by its name: give one --reader NAME "
            "without an address";
        return nullptr;
    }
    std::unique_ptr<ReaderLink> link(new ReaderLink(config, loop, std::move(listener)));
    if (config.sim) {
        link->simPlatform_ = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
        sim::SimReaderConfig reader;
        reader.answerDelay = config.simDelay;
        reader.storedReadings = storedReadings(config.simStored);
        link->simReader_ = sim::SimReader::attach(*link->simPlatform_, reader);
        if (!ReaderInterface::usePlatform(link->simPlatform_)) {
            error = "the reader link is already in use in this process";
            return nullptr;
        }
    }
    // Without --sim the link runs on the default backend (BlueZ on the system bus).
    link->reader_ = &ReaderInterface::reader();
    link->delegate_ = std::make_shared<Delegate>(loop, link.get());
    return link;
}

void ReaderLink::start() {
    reader_->setDelegate(delegate_);
    reader_->initializeBluetooth();
    scheduleSimActions();
}

void ReaderLink::handle(const ReaderEvent& event) {
    if (stopped_) return;
    switch (event.kind) {
        case ReaderEvent::Kind::connected:
            connected_ = true;
            backoff_ = config_.reconnectMin;
            break;
        case ReaderEvent::Kind::battery:
            ready_ = connected_;
            break;
        case ReaderEvent::Kind::disconnected:
        case ReaderEvent::Kind::connectionFailed:
            connected_ = false;
            ready_ = false;
            reconnectLater();
            break;
        default:
            break;
    }
    listener_(event);
}

void ReaderLink::reconnectLater() {
    if (reconnectTimer_) loop_.cancel(reconnectTimer_);
    const double wait = backoff_;
    backoff_ = std::min(backoff_ * 2, config_.reconnectMax);
    reconnectTimer_ = loop_.after(wait, [this] {
        reconnectTimer_ = 0;
        if (!stopped_ && !connected_) reader_->connectToReader();
    });
}

void ReaderLink::scheduleSimActions() {
    if (!simReader_) return;
    if (config_.simTriggerEvery > 0) scheduleTrigger();
    if (config_.simExportEvery > 0) scheduleExport();
}

void ReaderLink::scheduleTrigger() {
    triggerTimer_ = loop_.after(config_.simTriggerEvery, [this] {
        if (connected_) simReader_->triggerReading();
        scheduleTrigger();
    });
}

void ReaderLink::scheduleExport() {
    exportTimer_ = loop_.after(config_.simExportEvery, [this] {
        if (connected_) simReader_->exportReadings();
        scheduleExport();
    });
}

void ReaderLink::scan() {
    reader_->scan();
}

void ReaderLink::writeContact(const std::string& email, const std::string& phone,
                              const std::string& tag) {
    reader_->writeContact(email, phone, tag, [this](bool ok, OrvexContactStatus status) {
        loop_.post([this, ok, status] {
            ReaderEvent e{ReaderEvent::Kind::contactWritten, std::nullopt};
            e.ok = ok;
            e.contactStatus = status;
            handle(e);
        });
    });
}

bool ReaderLink::exportReadings() {
    if (!simReader_) return false;
    simReader_->exportReadings();
    return true;
}

void ReaderLink::stop() {
    if (stopped_) return;
    stopped_ = true;
    for (auto* timer : {&reconnectTimer_, &triggerTimer_, &exportTimer_}) {
        if (*timer) loop_.cancel(*timer);
        *timer = 0;
    }
    if (!reader_) return;
    reader_->setDelegate(nullptr);
    if (connected_) reader_->disconnectFromReader();
    connected_ = false;
    ready_ = false;
    // The platform's threads end before the process does, so nothing calls into the link
    // while it is torn down at exit.
    if (simPlatform_) simPlatform_->shutdown();
}

}  // namespace orvex::bridge
