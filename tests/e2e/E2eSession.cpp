// SPDX-License-Identifier: Apache-2.0
#include "e2e/E2eSession.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "reader/ReaderInterfaceFactory.hpp"

namespace orvex::e2e {

std::string name(OrvexBluetoothError e) {
    static const char* const names[] = {"notReady",           "poweredOff",     "reseting",
                                        "permissionRequired", "undefinedState", "unavailable"};
    return names[static_cast<int>(e)];
}

std::string name(OrvexConnectionError e) {
    static const char* const names[] = {"connectionTimeout",
                                        "badAnswer",
                                        "connectionOutOfState",
                                        "connectionRefused",
                                        "bluetoothServicesUnavailable",
                                        "bluetoothServicesDiscoveryFailed",
                                        "bluetoothCharacteristicUnavailable",
                                        "bluetoothCharacteristicDiscoveryFailed"};
    return names[static_cast<int>(e)];
}

std::string name(OrvexDisconnectionCause e) {
    return e == OrvexDisconnectionCause::bluetoothStatusChanged ? "bluetoothStatusChanged"
                                                                : "connectionInterrupted";
}

std::string name(OrvexContactStatus e) {
    static const char* const names[] = {"success", "contactReadTimeout", "writeOperationFailed",
                                        "wrongChip", "protocolError"};
    return names[static_cast<int>(e)];
}

std::string name(OrvexDeviceUpdateStatus e) {
    static const char* const names[] = {"successful",           "failed",
                                        "unableToStart",        "initializationError",
                                        "readerLockingFailed",  "sliceUploadFailed",
                                        "readerUnlockingFailed"};
    return names[static_cast<int>(e)];
}

std::string Reading::id() const {
    if (!result || !result->scan || !result->scan->xpdr) return "none";
    return result->scan->xpdr->id;
}

int Reading::type() const {
    if (!result || !result->scan || !result->scan->xpdr) return -1;
    return result->scan->xpdr->type;
}

std::string Reading::contact() const {
    if (!result || !result->contact) return "none";
    return result->contact->phone + "|" + result->contact->name;
}

// --- RecordingDelegate

void RecordingDelegate::add(std::string line) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(line));
}

void RecordingDelegate::btReader() {
    add("btReader");
}
void RecordingDelegate::btError(OrvexBluetoothError reason) {
    add("btError " + name(reason));
}

void RecordingDelegate::bleDetected(const std::string& prefix, const std::string& deviceName) {
    std::lock_guard lock(mutex_);
    detected_.push_back(prefix + " " + deviceName);
}

void RecordingDelegate::connecting() {
    add("connecting");
}
void RecordingDelegate::connectionFailed(OrvexConnectionError error) {
    add("connectionFailed " + name(error));
}
void RecordingDelegate::readerConnected() {
    add("readerConnected");
}
void RecordingDelegate::readerDisconnected(OrvexDisconnectionCause cause) {
    add("readerDisconnected " + name(cause));
}

void RecordingDelegate::scanReceived(std::optional<ScanResult> result, bool contactPending) {
    Reading r{std::move(result), contactPending, 0};
    std::string line = fmt::format("scanReceived {} pending={}", r.id(), contactPending ? 1 : 0);
    if (!contactPending) line += " contact=" + r.contact();
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(line));
    scans_.push_back(std::move(r));
}

void RecordingDelegate::readerScanning(bool active) {
    add(fmt::format("readerScanning {}", active ? 1 : 0));
}

void RecordingDelegate::exportReceived(std::optional<ScanResult> result, long number) {
    Reading r{std::move(result), false, number};
    std::string line = fmt::format("exportReceived {} {}", number, r.id());
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(line));
    exports_.push_back(std::move(r));
}

void RecordingDelegate::scanFailed() {
    add("scanFailed");
}
void RecordingDelegate::version(const std::string& text) {
    add("version " + text);
}
void RecordingDelegate::battery(long level) {
    add(fmt::format("battery {}", level));
}
void RecordingDelegate::startUpdate(long slices) {
    add(fmt::format("startUpdate {}", slices));
}
void RecordingDelegate::updateStatus(long slice) {
    add(fmt::format("updateStatus {}", slice));
}
void RecordingDelegate::endUpdate(std::optional<OrvexDeviceUpdateStatus> status) {
    add("endUpdate " + (status ? name(*status) : std::string("none")));
}

std::function<void(bool, OrvexContactStatus)> RecordingDelegate::completion() {
    return [this](bool ok, OrvexContactStatus status) {
        add(fmt::format("contactWrite {} {}", ok ? 1 : 0, name(status)));
    };
}

std::vector<std::string> RecordingDelegate::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingDelegate::detected() const {
    std::lock_guard lock(mutex_);
    return detected_;
}

std::vector<Reading> RecordingDelegate::scans() const {
    std::lock_guard lock(mutex_);
    return scans_;
}

std::vector<Reading> RecordingDelegate::exports() const {
    std::lock_guard lock(mutex_);
    return exports_;
}

std::size_t RecordingDelegate::count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), line));
}

std::size_t RecordingDelegate::countPrefix(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(events_.begin(), events_.end(),
                      [&](const std::string& e) { return e.starts_with(prefix); }));
}

std::vector<std::string> RecordingDelegate::eventsFrom(std::size_t from) const {
    std::lock_guard lock(mutex_);
    if (from >= events_.size()) return {};
    return {events_.begin() + static_cast<std::ptrdiff_t>(from), events_.end()};
}

void RecordingDelegate::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    detected_.clear();
    scans_.clear();
    exports_.clear();
}

// --- Session

Session::Session(sim::SimReaderConfig config, bool nearbyPeripherals, sim::Clock clock)
    : clock_(clock),
      platform_(std::make_shared<sim::SimPlatform>(clock)),
      delegate_(std::make_shared<RecordingDelegate>()) {
    if (nearbyPeripherals) sim::addNearbyPeripherals(*platform_);
    reader_ = sim::SimReader::attach(*platform_, std::move(config));
    link_ = detail::ReaderInterfaceFactory::make(platform_);
    link_->setDelegate(delegate_);
}

Session::~Session() {
    link_.reset();
    platform_->runUntilIdle();
    platform_->shutdown();
}

bool Session::runUntil(const std::function<bool()>& done, double maxSeconds) {
    constexpr double kStep = 0.05;
    if (clock_ == sim::Clock::realTime) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(maxSeconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    platform_->runUntilIdle();
    for (double waited = 0.0; !done(); waited += kStep) {
        if (waited >= maxSeconds) return false;
        platform_->advance(kStep);
    }
    return true;
}

void Session::run(double seconds) {
    runUntil([] { return false; }, seconds);
}

bool Session::connect(double maxSeconds) {
    link_->initializeBluetooth();
    if (!runUntil([this] { return delegate_->count("btReader") > 0; }, maxSeconds)) return false;
    link_->connectToReader();
    return runUntil([this] { return delegate_->countPrefix("battery ") > 0; }, maxSeconds);
}

std::vector<std::uint8_t> testImage(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<std::uint8_t>(x >> 16);
        // Every 13th byte an FE, often followed by 00 or 01 as the frame markers are.
        if (i % 13 == 5) image[i] = 0xFE;
        if (i % 13 == 6) image[i] = static_cast<std::uint8_t>(i % 2);
    }
    if (size > 16) image[0] = image[15] = image[16] = 0xFE;
    if (size > 0) image[size - 1] = 0xFE;
    return image;
}

}  // namespace orvex::e2e
