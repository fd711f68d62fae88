// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <utility>

#include "platform/sim/SimCore.hpp"

namespace orvex::sim {

namespace {

bool wanted(const std::vector<Uuid>& filter, const Uuid& uuid) {
    return filter.empty() || std::find(filter.begin(), filter.end(), uuid) != filter.end();
}

const GattService* findService(const GattLayout& layout, const Uuid& uuid) {
    for (const auto& s : layout) {
        if (s.uuid == uuid) return &s;
    }
    return nullptr;
}

}  // namespace

// --- objects

std::shared_ptr<SimGattService> SimPeripheral::serviceLocked(const Uuid& uuid) {
    for (const auto& s : services_) {
        if (s->uuid() == uuid) return s;
    }
    return services_.emplace_back(std::make_shared<SimGattService>(uuid));
}

std::shared_ptr<SimGattCharacteristic> SimPeripheral::characteristicLocked(const Uuid& service,
                                                                           const Uuid& uuid) {
    for (const auto& c : characteristics_) {
        if (c->service() == service && c->uuid() == uuid) return c;
    }
    return characteristics_.emplace_back(std::make_shared<SimGattCharacteristic>(service, uuid));
}

std::shared_ptr<SimGattCharacteristic> SimPeripheral::anyCharacteristicLocked(const Uuid& uuid) {
    for (const auto& c : characteristics_) {
        if (c->uuid() == uuid) return c;
    }
    for (const auto& s : layout) {
        if (std::find(s.characteristics.begin(), s.characteristics.end(), uuid) !=
            s.characteristics.end()) {
            return characteristicLocked(s.uuid, uuid);
        }
    }
    return characteristicLocked(Uuid{}, uuid);
}

std::optional<int> SimPeripheral::rssi() const {
    unsigned sum = 0;
    for (unsigned char c : address_) sum = sum * 31 + c;
    return -45 - static_cast<int>(sum % 40);
}

std::shared_ptr<platform::PeripheralDelegate> SimPeripheral::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

bool SimPeripheral::isConnected() const {
    auto core = core_.lock();
    if (!core) return false;
    std::lock_guard lock(core->m);
    return connection == Connection::connected;
}

// --- requests of the link

void SimPeripheral::setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

void SimPeripheral::discoverServices(const std::vector<Uuid>& services) {
    auto core = core_.lock();
    if (!core) return;
    auto self = shared_from_this();
    core->observe([&](SimObserver& o) { o.onDiscoverServices(self, services); });
    if (!device || !isConnected()) return;
    core->after(timing.discoveryDelay, [weak = weak_from_this(), services] {
        auto p = weak.lock();
        if (!p || !p->isConnected()) return;
        std::vector<Uuid> found;
        for (const auto& s : p->layout) {
            if (wanted(services, s.uuid)) found.push_back(s.uuid);
        }
        p->deliverServices(found, false);
    });
}

void SimPeripheral::discoverCharacteristics(const std::vector<Uuid>& characteristics,
                                            const std::shared_ptr<platform::Service>& service) {
    auto core = core_.lock();
    if (!core || !service) return;
    auto self = shared_from_this();
    const Uuid serviceUuid = service->uuid();
    core->observe(
        [&](SimObserver& o) { o.onDiscoverCharacteristics(self, serviceUuid, characteristics); });
    if (!device || !isConnected()) return;
    core->after(timing.discoveryDelay, [weak = weak_from_this(), serviceUuid, characteristics] {
        auto p = weak.lock();
        if (!p || !p->isConnected()) return;
        const GattService* s = findService(p->layout, serviceUuid);
        if (!s) {
            p->deliverCharacteristics(serviceUuid, std::vector<Uuid>{}, true);
            return;
        }
        std::vector<Uuid> found;
        for (const auto& c : s->characteristics) {
            if (wanted(characteristics, c)) found.push_back(c);
        }
        p->deliverCharacteristics(serviceUuid, found, false);
    });
}

void SimPeripheral::setNotifyValue(
    bool enabled, const std::shared_ptr<platform::Characteristic>& characteristic) {
    auto core = core_.lock();
    if (!core || !characteristic) return;
    auto self = shared_from_this();
    const Uuid uuid = characteristic->uuid();
    core->observe([&](SimObserver& o) { o.onSetNotifyValue(self, enabled, uuid); });
    {
        std::lock_guard lock(core->m);
        // A device-backed peripheral takes the request only while connected.
        if (device && connection != Connection::connected) return;
        if (enabled) {
            notifying.insert(uuid);
            auto own = std::dynamic_pointer_cast<SimGattCharacteristic>(characteristic);
            lastNotifyOn = own ? own : anyCharacteristicLocked(uuid);
        } else {
            notifying.erase(uuid);
        }
    }
    if (!device) return;
    core->loop.post([weak = weak_from_this(), uuid, enabled] {
        if (auto p = weak.lock(); p && p->isConnected()) p->device->onNotifyChanged(uuid, enabled);
    });
}

void SimPeripheral::writeValue(const Bytes& data,
                               const std::shared_ptr<platform::Characteristic>& characteristic,
                               WriteType type) {
    auto core = core_.lock();
    if (!core || !characteristic) return;
    auto self = shared_from_this();
    const Uuid uuid = characteristic->uuid();
    core->observe([&](SimObserver& o) { o.onWrite(self, data, uuid, type); });
    if (!device || !isConnected()) return;
    core->loop.post([weak = weak_from_this(), data, uuid, type] {
        if (auto p = weak.lock(); p && p->isConnected()) p->device->onWrite(data, uuid, type);
    });
}

// --- answers (run loop)

void SimPeripheral::deliverServices(const std::optional<std::vector<Uuid>>& services, bool error) {
    auto core = core_.lock();
    if (!core) return;
    std::optional<platform::ServiceList> list;
    if (services) {
        std::lock_guard lock(core->m);
        list.emplace();
        for (const auto& u : *services) list->push_back(serviceLocked(u));
    }
    if (auto d = delegate()) d->didDiscoverServices(shared_from_this(), list, error);
}

void SimPeripheral::deliverCharacteristics(const Uuid& service,
                                           const std::optional<std::vector<Uuid>>& characteristics,
                                           bool error) {
    auto core = core_.lock();
    if (!core) return;
    std::shared_ptr<SimGattService> serviceObject;
    std::optional<platform::CharacteristicList> list;
    {
        std::lock_guard lock(core->m);
        serviceObject = serviceLocked(service);
        if (characteristics) {
            list.emplace();
            for (const auto& u : *characteristics)
                list->push_back(characteristicLocked(service, u));
        }
    }
    if (auto d = delegate()) {
        d->didDiscoverCharacteristics(shared_from_this(), serviceObject, list, error);
    }
}

void SimPeripheral::deliverValue(const std::shared_ptr<SimGattCharacteristic>& characteristic,
                                 const Bytes& value) {
    if (auto d = delegate()) d->didUpdateValue(shared_from_this(), characteristic, value);
}

void SimPeripheral::completeDeviceConnect(std::uint64_t expected) {
    auto core = core_.lock();
    if (!core) return;
    std::shared_ptr<SimCentral> c;
    std::shared_ptr<platform::Timer> timer;
    bool ok;
    {
        std::lock_guard lock(core->m);
        if (attempt != expected || connection != Connection::connecting) return;
        ok = core->adapter == ManagerState::poweredOn;
        connection = ok ? Connection::connected : Connection::disconnected;
        timer = std::move(connectTimer);
        c = central.lock();
    }
    if (ok) device->onConnect();
    if (c) c->deliverConnect(shared_from_this(), ok);
}

// --- DeviceContext

void DeviceContext::notify(const Uuid& characteristic, Bytes value) {
    auto core = core_.lock();
    if (!core) return;
    core->loop.post(
        [weakCore = core_, weak = peripheral_, characteristic, value = std::move(value)] {
            auto core = weakCore.lock();
            auto p = weak.lock();
            if (!core || !p) return;
            std::shared_ptr<SimGattCharacteristic> c;
            {
                std::lock_guard lock(core->m);
                if (p->connection != SimPeripheral::Connection::connected ||
                    !p->notifying.contains(characteristic)) {
                    return;
                }
                c = p->anyCharacteristicLocked(characteristic);
            }
            p->deliverValue(c, value);
        });
}

void DeviceContext::disconnect() {
    auto core = core_.lock();
    if (!core) return;
    core->loop.post([weakCore = core_, weak = peripheral_] {
        auto core = weakCore.lock();
        auto p = weak.lock();
        if (!core || !p) return;
        {
            std::lock_guard lock(core->m);
            ++p->attempt;  // a connection still being made will not complete
        }
        core->endConnection(p, true);
    });
}

void DeviceContext::setAdvertising(bool advertising) {
    auto core = core_.lock();
    if (!core) return;
    core->loop.post([weakCore = core_, weak = peripheral_, advertising] {
        auto core = weakCore.lock();
        auto p = weak.lock();
        if (!core || !p) return;
        std::vector<std::shared_ptr<SimCentral>> scanning;
        for (const auto& c : core->liveCentrals()) {
            std::lock_guard lock(core->m);
            if (c->scanning) scanning.push_back(c);
        }
        {
            std::lock_guard lock(core->m);
            p->advertising = advertising;
            if (!advertising || p->connection != SimPeripheral::Connection::disconnected) return;
        }
        for (const auto& c : scanning) c->scheduleAdvertisement(p);
    });
}

bool DeviceContext::isConnected() const {
    auto core = core_.lock();
    auto p = peripheral_.lock();
    if (!core || !p) return false;
    std::lock_guard lock(core->m);
    return p->connection == SimPeripheral::Connection::connected;
}

bool DeviceContext::isNotifying(const Uuid& characteristic) const {
    auto core = core_.lock();
    auto p = peripheral_.lock();
    if (!core || !p) return false;
    std::lock_guard lock(core->m);
    return p->notifying.contains(characteristic);
}

std::shared_ptr<platform::Timer> DeviceContext::schedule(double seconds,
                                                         std::function<void()> action) {
    auto core = core_.lock();
    if (!core) return std::make_shared<InertTimer>();
    return core->loop.schedule(seconds, false, std::move(action));
}

void DeviceContext::post(std::function<void()> action) {
    if (auto core = core_.lock()) core->loop.post(std::move(action));
}

double DeviceContext::now() const {
    auto core = core_.lock();
    return core ? core->loop.now() : 0.0;
}

}  // namespace orvex::sim
