// SPDX-License-Identifier: Apache-2.0
#include "BenchLink.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvex::bench {

namespace {

class FixedCharacteristic : public platform::Characteristic {
public:
    platform::Uuid uuid() const override { return platform::Uuid("FFE1"); }
};

class FixedService : public platform::Service {
public:
    platform::Uuid uuid() const override { return platform::Uuid("FFE0"); }
};

class SinkPeripheral : public platform::Peripheral {
public:
    std::size_t written = 0;
    std::optional<std::string> name() const override { return "KX-BT4 bench"; }
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate>) override {}
    void discoverServices(const std::vector<platform::Uuid>&) override {}
    void discoverCharacteristics(const std::vector<platform::Uuid>&,
                                 const std::shared_ptr<platform::Service>&) override {}
    void setNotifyValue(bool, const std::shared_ptr<platform::Characteristic>&) override {}
    void writeValue(const Bytes& data, const std::shared_ptr<platform::Characteristic>&,
                    platform::WriteType) override {
        written += data.size();
    }
};

class QuietCentral : public platform::CentralManager {
public:
    platform::ManagerState state() const override { return platform::ManagerState::poweredOn; }
    void scanForPeripherals() override {}
    bool isScanning() const override { return false; }
    void stopScan() override {}
    void connect(const std::shared_ptr<platform::Peripheral>&) override {}
    void cancelPeripheralConnection(const std::shared_ptr<platform::Peripheral>&) override {}
};

class Queue : public platform::Executor {
public:
    std::vector<std::function<void()>> blocks;
    void post(std::function<void()> block) override { blocks.push_back(std::move(block)); }
};

}  // namespace

class BenchPlatform : public platform::Platform {
public:
    Queue queue;
    std::vector<std::weak_ptr<ManualTimer>> timers;
    std::optional<Bytes> image;
    std::shared_ptr<SinkPeripheral> peripheral = std::make_shared<SinkPeripheral>();
    // The same peripheral as the platform hands it to the link: a platform keeps its
    // peripherals as such, and a conversion per notification would be the benchmark's cost.
    std::shared_ptr<platform::Peripheral> asPeripheral = peripheral;
    std::shared_ptr<platform::Service> service = std::make_shared<FixedService>();
    std::shared_ptr<platform::Characteristic> characteristic =
        std::make_shared<FixedCharacteristic>();

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate>) override {
        return std::make_shared<QuietCentral>();
    }
    platform::Executor& linkQueue() override { return queue; }
    platform::Executor& mainExecutor() override { return queue; }
    std::shared_ptr<platform::Timer> scheduleTimer(double, bool repeats,
                                                   std::function<void()> action) override {
        std::erase_if(timers, [](const auto& t) { return t.expired(); });
        auto timer = std::make_shared<ManualTimer>(std::move(action), repeats);
        timers.push_back(timer);
        return timer;
    }
    double now() const override { return 1.0e9; }
    std::optional<Bytes> microAppImage() override { return image; }

    void drain() {
        while (!queue.blocks.empty()) {
            auto blocks = std::move(queue.blocks);
            queue.blocks.clear();
            for (auto& block : blocks) block();
        }
    }
};

BenchLink::BenchLink(std::optional<Bytes> microAppImage)
    : platform_(std::make_shared<BenchPlatform>()),
      delegate_(std::make_shared<CountingDelegate>()),
      link_(std::make_shared<detail::Link>(platform_)) {
    auto& p = *platform_;
    const bool upload = microAppImage.has_value();
    p.image = std::move(microAppImage);
    link_->setDelegate(delegate_);
    link_->initializeBluetooth();
    p.drain();
    link_->centralManagerDidUpdateState(platform::ManagerState::poweredOn);
    link_->connectToReader();
    p.drain();
    link_->didDiscover(p.peripheral);
    link_->didConnect(p.peripheral);
    link_->didDiscoverServices(p.peripheral, platform::ServiceList{p.service}, false);
    link_->didDiscoverCharacteristics(p.peripheral, p.service,
                                      platform::CharacteristicList{p.characteristic}, false);
    notify({0x80});                          // handshake
    notify({0x87, 'B', 'E', 'N', 'C', 'H', 0x00});  // version
    if (upload) {
        notify({0x84, 0x00, 0x00});  // the reader asks for the micro-app
    } else {
        notify({0x84, 0x00, 0x01});  // micro-app current
        notify({0x8E, 100, 0x00});   // battery
    }
    p.drain();
    if (!link_->isConnected()) throw std::runtime_error("the bench link did not connect");
}

BenchLink::~BenchLink() {
    link_->setDelegate(nullptr);
    link_.reset();
}

void BenchLink::notify(const Bytes& value) {
    link_->didUpdateValue(platform_->asPeripheral, platform_->characteristic, value);
}

void BenchLink::tick() {
    for (const auto& weak : platform_->timers) {
        if (auto timer = weak.lock(); timer && timer->repeats() && timer->armed()) {
            timer->fire();
            return;
        }
    }
}

void BenchLink::drain() {
    platform_->drain();
}

std::size_t BenchLink::bytesWritten() const {
    return platform_->peripheral->written;
}

}  // namespace orvex::bench
