// SPDX-License-Identifier: Apache-2.0
#include "orvex/sim/SimReader.hpp"

#include <utility>

#include "simreader/ReaderProtocol.hpp"

namespace orvex::sim {

namespace {
const Uuid kUartService{"49535343-FE7D-4AE5-8FA9-9FAFD205E455"};
const Uuid kUartNotify{"49535343-1E4D-4BD9-BA61-23C647249616"};
const Uuid kUartWrite{"49535343-8841-43F4-A8D4-ECBE34729BB3"};
const Uuid kSerialService{"FFE0"};
const Uuid kSerialCharacteristic{"FFE1"};
}  // namespace

GattLayout SimReader::gattLayout(SimService service) {
    if (service == SimService::serial16) return {{kSerialService, {kSerialCharacteristic}}};
    return {{kUartService, {kUartNotify, kUartWrite}}};
}

Uuid SimReader::notifyCharacteristic(SimService service) {
    return service == SimService::serial16 ? kSerialCharacteristic : kUartNotify;
}

Uuid SimReader::writeCharacteristic(SimService service) {
    return service == SimService::serial16 ? kSerialCharacteristic : kUartWrite;
}

SimReader::SimReader(SimReaderConfig config) : service_(config.service) {
    ReaderProtocol::Io io;
    io.notify = [this](const Bytes& value) {
        if (context_) context_->notify(notifyCharacteristic(service_), value);
    };
    io.after = [this](double seconds, std::function<void()> action) {
        if (!context_) return;
        context_->schedule(seconds, [weak = weak_from_this(), action = std::move(action)] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                action();
            }
        });
    };
    io.disconnect = [this] {
        // Posted, so that the platform never calls back into the reader from inside it.
        if (!context_) return;
        context_->post([context = context_] { context->disconnect(); });
    };
    protocol_ = std::make_unique<ReaderProtocol>(std::move(config), std::move(io));
}

SimReader::~SimReader() = default;

std::shared_ptr<SimReader> SimReader::attach(SimPlatform& platform, SimReaderConfig config,
                                             DeviceTiming timing) {
    const std::string name = config.name;
    const std::string address = config.address;
    const GattLayout layout = gattLayout(config.service);
    auto reader = std::make_shared<SimReader>(std::move(config));
    auto peripheral = platform.addDevicePeripheral(name, layout, reader, timing, address);
    std::lock_guard lock(reader->mutex_);
    reader->peripheral_ = peripheral;
    return reader;
}

std::shared_ptr<platform::Peripheral> SimReader::peripheral() const {
    std::lock_guard lock(mutex_);
    return peripheral_.lock();
}

void SimReader::onLoop(std::function<void(ReaderProtocol&)> action) {
    std::shared_ptr<SimDeviceContext> context;
    {
        std::lock_guard lock(mutex_);
        context = context_;
    }
    if (!context) return;
    context->post([weak = weak_from_this(), action = std::move(action)] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            action(*self->protocol_);
        }
    });
}

void SimReader::triggerReading(SimReadingFormat format) {
    onLoop([format](ReaderProtocol& p) { p.triggerReading(format); });
}

void SimReader::exportReadings() {
    onLoop([](ReaderProtocol& p) { p.exportReadings(); });
}

void SimReader::reportBattery() {
    onLoop([](ReaderProtocol& p) { p.reportBattery(); });
}

void SimReader::setTagInField(std::optional<std::size_t> index) {
    onLoop([index](ReaderProtocol& p) { p.config().tagInField = index; });
}

void SimReader::setStoredReadings(std::vector<SimTag> readings) {
    onLoop([readings = std::move(readings)](ReaderProtocol& p) {
        p.config().storedReadings = readings;
    });
}

void SimReader::setFaults(SimFaults faults) {
    onLoop([faults = std::move(faults)](ReaderProtocol& p) { p.config().faults = faults; });
}

void SimReader::disconnect() {
    std::shared_ptr<SimDeviceContext> context;
    {
        std::lock_guard lock(mutex_);
        context = context_;
    }
    if (context) context->disconnect();
}

void SimReader::setSendTap(SimSendTap tap) {
    std::lock_guard lock(mutex_);
    protocol_->setSendTap(std::move(tap));
}

SimReaderConfig SimReader::config() const {
    std::lock_guard lock(mutex_);
    return protocol_->config();
}

Bytes SimReader::uploadedImage() const {
    std::lock_guard lock(mutex_);
    return protocol_->uploadedImage();
}

bool SimReader::microAppCurrent() const {
    std::lock_guard lock(mutex_);
    return protocol_->config().microAppCurrent;
}

bool SimReader::isConnected() const {
    std::lock_guard lock(mutex_);
    return context_ && context_->isConnected();
}

std::size_t SimReader::framesReceived() const {
    std::lock_guard lock(mutex_);
    return protocol_->framesReceived();
}

std::vector<Bytes> SimReader::recentFrames() const {
    std::lock_guard lock(mutex_);
    return protocol_->framesLog();
}

std::size_t SimReader::messagesSent() const {
    std::lock_guard lock(mutex_);
    return protocol_->messagesSent();
}

void SimReader::attached(std::shared_ptr<SimDeviceContext> context) {
    std::lock_guard lock(mutex_);
    context_ = std::move(context);
}

void SimReader::onConnect() {
    std::lock_guard lock(mutex_);
    protocol_->connected();
}

void SimReader::onWrite(const Bytes& bytes, const Uuid& characteristic, WriteType /*type*/) {
    std::lock_guard lock(mutex_);
    if (characteristic != writeCharacteristic(service_)) return;
    protocol_->received(bytes);
}

void SimReader::onDisconnect() {
    std::lock_guard lock(mutex_);
    protocol_->disconnected();
}

void addNearbyPeripherals(SimPlatform& platform) {
    const std::optional<std::string> names[] = {
        "Galaxy Buds2 (4C1F)", std::nullopt,           "Mi Smart Band 6", "[TV] Living Room",
        std::nullopt,          "kx-bt4 charging dock", "LE-Bose Micro",
    };
    for (const auto& name : names) platform.addPeripheral(name, /*advertises=*/true);
}

}  // namespace orvex::sim
