// SPDX-License-Identifier: Apache-2.0
#include "orvex/sim/SimPlatform.hpp"

#include <future>
#include <utility>

#include "platform/sim/SimCore.hpp"

namespace orvex::sim {

namespace {

// Runs `f(core, peripheral)` on the loop for the peripheral of the last connect(), if any.
template <class F>
void onCurrentPeripheral(const std::shared_ptr<SimCore>& core, F f) {
    core->loop.post([weak = std::weak_ptr(core), f = std::move(f)] {
        auto core = weak.lock();
        if (!core) return;
        if (auto p = core->currentPeripheral()) f(*core, p);
    });
}

}  // namespace

SimPlatform::SimPlatform(Clock clock) : core_(std::make_shared<SimCore>(clock)) {}

SimPlatform::~SimPlatform() {
    shutdown();
}

// --- platform::Platform

std::shared_ptr<platform::CentralManager> SimPlatform::createCentralManager(
    std::weak_ptr<platform::CentralManagerDelegate> delegate) {
    core_->observe([](SimObserver& o) { o.onCentralCreate(); });
    auto central = std::make_shared<SimCentral>(core_, std::move(delegate));
    {
        std::lock_guard lock(core_->m);
        core_->centrals.push_back(central);
    }
    core_->loop.post([weakCore = std::weak_ptr(core_), weak = std::weak_ptr(central)] {
        auto core = weakCore.lock();
        auto central = weak.lock();
        if (!core || !central) return;
        ManagerState state;
        {
            std::lock_guard lock(core->m);
            state = core->adapter;
        }
        central->deliverState(state);
    });
    return central;
}

platform::Executor& SimPlatform::linkQueue() {
    return core_->loop;
}

platform::Executor& SimPlatform::mainExecutor() {
    return core_->loop;
}

std::shared_ptr<platform::Timer> SimPlatform::scheduleTimer(double seconds, bool repeats,
                                                            std::function<void()> action) {
    return core_->loop.schedule(seconds, repeats, std::move(action));
}

double SimPlatform::now() const {
    return core_->loop.now();
}

std::optional<Bytes> SimPlatform::microAppImage() {
    std::lock_guard lock(core_->m);
    return core_->image;
}

// --- run loop

Clock SimPlatform::clock() const {
    return core_->loop.clock();
}

void SimPlatform::runUntilIdle() {
    core_->loop.runUntilIdle();
}

void SimPlatform::advance(double seconds) {
    core_->loop.advance(seconds);
}

void SimPlatform::sync(std::function<void()> block) {
    if (!block) block = [] {};
    if (core_->loop.onLoop()) {
        block();
        return;
    }
    if (clock() == Clock::virtualTime) {
        core_->loop.post(std::move(block));
        runUntilIdle();
        return;
    }
    // A block dropped by shutdown() breaks the promise, which ends the wait as well.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    core_->loop.post([done, block = std::move(block)]() mutable {
        block();
        done->set_value();
    });
    done.reset();
    finished.wait();
}

void SimPlatform::shutdown() {
    core_->shutdown();
}

// --- driver

void SimPlatform::setObserver(std::shared_ptr<SimObserver> observer) {
    std::lock_guard lock(core_->m);
    core_->observer_ = std::move(observer);
}

void SimPlatform::setAdapterState(ManagerState state) {
    {
        std::lock_guard lock(core_->m);
        core_->adapter = state;
    }
    core_->loop.post([weak = std::weak_ptr(core_), state] {
        if (auto core = weak.lock()) core->reportAdapterState(state);
    });
}

ManagerState SimPlatform::adapterState() const {
    std::lock_guard lock(core_->m);
    return core_->adapter;
}

std::shared_ptr<platform::Peripheral> SimPlatform::addPeripheral(std::optional<std::string> name,
                                                                 bool advertises,
                                                                 std::string address) {
    std::lock_guard lock(core_->m);
    address = core_->addressLocked(address, name);
    auto p = std::make_shared<SimPeripheral>(core_, std::move(name), advertises, nullptr,
                                             GattLayout{}, DeviceTiming{}, std::move(address));
    core_->peripherals.push_back(p);
    return p;
}

std::shared_ptr<platform::Peripheral> SimPlatform::addDevicePeripheral(
    std::optional<std::string> name, GattLayout layout, std::shared_ptr<SimDevice> device,
    DeviceTiming timing, std::string address) {
    if (!device) return addPeripheral(std::move(name), false, std::move(address));
    std::shared_ptr<SimPeripheral> p;
    {
        std::lock_guard lock(core_->m);
        address = core_->addressLocked(address, name);
        p = std::make_shared<SimPeripheral>(core_, std::move(name), true, device,
                                            std::move(layout), timing, std::move(address));
    }
    device->attached(std::make_shared<DeviceContext>(core_, p));
    {
        std::lock_guard lock(core_->m);
        core_->peripherals.push_back(p);
    }
    // A scan already under way discovers the newcomer.
    core_->loop.post([weakCore = std::weak_ptr(core_), weak = std::weak_ptr(p)] {
        auto core = weakCore.lock();
        auto p = weak.lock();
        if (!core || !p) return;
        for (const auto& c : core->liveCentrals()) {
            bool scanning;
            {
                std::lock_guard lock(core->m);
                scanning = c->scanning;
            }
            if (scanning) c->scheduleAdvertisement(p);
        }
    });
    return p;
}

void SimPlatform::discover(const std::shared_ptr<platform::Peripheral>& peripheral) {
    auto p = std::dynamic_pointer_cast<SimPeripheral>(peripheral);
    if (!p) return;
    core_->loop.post([weakCore = std::weak_ptr(core_), p] {
        auto core = weakCore.lock();
        if (!core) return;
        for (const auto& c : core->liveCentrals()) c->deliverDiscovery(p, false);
    });
}

bool SimPlatform::isScanning() const {
    for (const auto& c : core_->liveCentrals()) {
        if (c->isScanning()) return true;
    }
    return false;
}

void SimPlatform::completeConnect(bool ok) {
    onCurrentPeripheral(core_, [ok](SimCore& core, const std::shared_ptr<SimPeripheral>& p) {
        std::shared_ptr<SimCentral> central;
        {
            std::lock_guard lock(core.m);
            p->connection =
                ok ? SimPeripheral::Connection::connected : SimPeripheral::Connection::disconnected;
            central = p->central.lock();
        }
        if (ok && p->device) p->device->onConnect();
        if (central) central->deliverConnect(p, ok);
    });
}

void SimPlatform::reportServices(std::optional<std::vector<Uuid>> services, bool error) {
    if (error) services = std::vector<Uuid>{};
    onCurrentPeripheral(core_, [services = std::move(services), error](
                                   SimCore&, const std::shared_ptr<SimPeripheral>& p) {
        p->deliverServices(services, error);
    });
}

void SimPlatform::reportCharacteristics(const Uuid& service,
                                        std::optional<std::vector<Uuid>> characteristics,
                                        bool error) {
    if (error) characteristics = std::vector<Uuid>{};
    onCurrentPeripheral(core_, [service, characteristics = std::move(characteristics), error](
                                   SimCore&, const std::shared_ptr<SimPeripheral>& p) {
        p->deliverCharacteristics(service, characteristics, error);
    });
}

void SimPlatform::notify(const Bytes& value) {
    notify(Bytes(value));
}

void SimPlatform::notify(Bytes&& value) {
    onCurrentPeripheral(core_, [value = std::move(value)](SimCore& core,
                                                          const std::shared_ptr<SimPeripheral>& p) {
        std::shared_ptr<SimGattCharacteristic> c;
        {
            std::lock_guard lock(core.m);
            c = p->lastNotifyOn;
        }
        if (c) p->deliverValue(c, value);
    });
}

void SimPlatform::notify(const Uuid& characteristic, const Bytes& value) {
    notify(characteristic, Bytes(value));
}

void SimPlatform::notify(const Uuid& characteristic, Bytes&& value) {
    onCurrentPeripheral(core_, [characteristic, value = std::move(value)](
                                   SimCore& core, const std::shared_ptr<SimPeripheral>& p) {
        std::shared_ptr<SimGattCharacteristic> c;
        {
            std::lock_guard lock(core.m);
            c = p->anyCharacteristicLocked(characteristic);
        }
        p->deliverValue(c, value);
    });
}

void SimPlatform::reportDisconnected() {
    onCurrentPeripheral(core_, [](SimCore& core, const std::shared_ptr<SimPeripheral>& p) {
        core.endConnection(p, true);
    });
}

void SimPlatform::setMicroAppImage(std::optional<Bytes> image) {
    std::lock_guard lock(core_->m);
    core_->image = std::move(image);
}

}  // namespace orvex::sim
