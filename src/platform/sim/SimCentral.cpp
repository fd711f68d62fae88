// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <utility>

#include "platform/sim/SimCore.hpp"

namespace orvex::sim {

// --- SimCore

std::shared_ptr<platform::Timer> SimCore::after(double seconds, Task block) {
    if (seconds > 0) return loop.scheduleTask(seconds, false, std::move(block));
    loop.postTask(std::move(block));
    return nullptr;
}

std::shared_ptr<SimObserver> SimCore::observer() const {
    std::lock_guard lock(m);
    return observer_;
}

std::vector<std::shared_ptr<SimCentral>> SimCore::liveCentrals() {
    std::vector<std::shared_ptr<SimCentral>> live;
    std::lock_guard lock(m);
    std::erase_if(centrals, [](const auto& c) { return c.expired(); });
    for (const auto& c : centrals) {
        if (auto central = c.lock()) live.push_back(std::move(central));
    }
    return live;
}

std::shared_ptr<SimPeripheral> SimCore::currentPeripheral() const {
    std::lock_guard lock(m);
    return lastConnected;
}

std::string SimCore::addressLocked(const std::string& wanted,
                                   const std::optional<std::string>& name) const {
    if (!wanted.empty()) return wanted;
    // FNV-1a of the name: the same name gives the same address on every run. The first
    // byte 02 marks a locally administered address, so it cannot be a real vendor's.
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : name.value_or("")) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    const auto taken = [this](const std::string& address) {
        for (const auto& p : peripherals) {
            if (p->identifier() == address) return true;
        }
        return false;
    };
    for (;; ++hash) {
        char text[18];
        std::snprintf(text, sizeof text, "02:%02X:%02X:%02X:%02X:%02X",
                      static_cast<unsigned>(hash >> 32 & 0xFF),
                      static_cast<unsigned>(hash >> 24 & 0xFF),
                      static_cast<unsigned>(hash >> 16 & 0xFF),
                      static_cast<unsigned>(hash >> 8 & 0xFF), static_cast<unsigned>(hash & 0xFF));
        if (!taken(text)) return text;
    }
}

void SimCore::reportAdapterState(ManagerState state) {
    for (const auto& central : liveCentrals()) central->deliverState(state);
    if (state == ManagerState::poweredOn) return;
    // The radio is off: device-backed connections are gone. As on a real stack, the
    // central learns it from the state change alone.
    std::vector<std::shared_ptr<SimPeripheral>> dropped;
    {
        std::lock_guard lock(m);
        for (const auto& p : peripherals) {
            if (p->device && p->connection != SimPeripheral::Connection::disconnected) {
                dropped.push_back(p);
            }
        }
    }
    for (const auto& p : dropped) endConnection(p, false);
}

void SimCore::endConnection(const std::shared_ptr<SimPeripheral>& p, bool tellCentral) {
    std::shared_ptr<SimCentral> central;
    std::shared_ptr<platform::Timer> timer;
    SimPeripheral::Connection was;
    {
        std::lock_guard lock(m);
        was = p->connection;
        p->connection = SimPeripheral::Connection::disconnected;
        p->notifying.clear();
        timer = std::move(p->connectTimer);
        central = p->central.lock();
    }
    if (timer) timer->invalidate();
    if (p->device) {
        if (was == SimPeripheral::Connection::disconnected) return;
        if (was == SimPeripheral::Connection::connected) p->device->onDisconnect();
    }
    if (tellCentral && central) central->deliverDisconnect(p);
}

void SimCore::shutdown() {
    loop.stop();
    std::vector<std::shared_ptr<SimPeripheral>> peripheralsGone;
    std::shared_ptr<SimPeripheral> last;
    std::shared_ptr<SimObserver> observerGone;
    {
        std::lock_guard lock(m);
        peripheralsGone.swap(peripherals);
        last = std::move(lastConnected);
        observerGone = std::move(observer_);
        centrals.clear();
    }
    // Released outside the lock: a device's destructor may use its context.
}

// --- SimCentral

ManagerState SimCentral::state() const {
    auto core = core_.lock();
    if (!core) return ManagerState::unknown;
    std::lock_guard lock(core->m);
    return reported;
}

bool SimCentral::isScanning() const {
    auto core = core_.lock();
    if (!core) return false;
    std::lock_guard lock(core->m);
    return scanning;
}

void SimCentral::scanForPeripherals() {
    auto core = core_.lock();
    if (!core) return;
    core->observe([](SimObserver& o) { o.onScanForPeripherals(); });
    std::vector<std::shared_ptr<SimPeripheral>> advertisers;
    {
        std::lock_guard lock(core->m);
        // A radio that is not on does not scan (a real stack ignores the request).
        if (core->adapter != ManagerState::poweredOn) return;
        scanning = true;
        seen.clear();
        for (const auto& p : core->peripherals) {
            if (p->advertising && p->connection == SimPeripheral::Connection::disconnected) {
                advertisers.push_back(p);
            }
        }
    }
    for (const auto& p : advertisers) scheduleAdvertisement(p);
}

void SimCentral::stopScan() {
    auto core = core_.lock();
    if (!core) return;
    core->observe([](SimObserver& o) { o.onStopScan(); });
    std::lock_guard lock(core->m);
    scanning = false;
}

void SimCentral::connect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    auto core = core_.lock();
    if (!core) return;
    core->observe([&](SimObserver& o) { o.onConnect(peripheral); });
    auto p = std::dynamic_pointer_cast<SimPeripheral>(peripheral);
    if (!p) return;
    std::uint64_t attempt;
    std::shared_ptr<platform::Timer> oldTimer;
    {
        std::lock_guard lock(core->m);
        core->lastConnected = p;
        p->central = weak_from_this();
        attempt = ++p->attempt;
        if (p->connection == SimPeripheral::Connection::connected && p->device) return;
        p->connection = SimPeripheral::Connection::connecting;
        oldTimer = std::move(p->connectTimer);
    }
    if (oldTimer) oldTimer->invalidate();
    if (!p->device) return;  // the driver completes it
    auto timer = core->after(p->timing.connectDelay, [weak = std::weak_ptr(p), attempt] {
        if (auto p = weak.lock()) p->completeDeviceConnect(attempt);
    });
    std::lock_guard lock(core->m);
    if (p->attempt == attempt) p->connectTimer = std::move(timer);
}

void SimCentral::cancelPeripheralConnection(
    const std::shared_ptr<platform::Peripheral>& peripheral) {
    auto core = core_.lock();
    if (!core) return;
    core->observe([&](SimObserver& o) { o.onCancelConnection(peripheral); });
    auto p = std::dynamic_pointer_cast<SimPeripheral>(peripheral);
    // A script-driven peripheral reports its end only when the driver says so.
    if (!p || !p->device) return;
    {
        std::lock_guard lock(core->m);
        ++p->attempt;  // a connection still being made will not complete
    }
    core->loop.post([weakCore = core_, weak = std::weak_ptr(p)] {
        auto core = weakCore.lock();
        auto p = weak.lock();
        if (core && p) core->endConnection(p, true);
    });
}

void SimCentral::deliverState(ManagerState state) {
    auto core = core_.lock();
    if (!core) return;
    {
        std::lock_guard lock(core->m);
        reported = state;
        if (state != ManagerState::poweredOn) scanning = false;
    }
    if (auto d = delegate()) d->centralManagerDidUpdateState(state);
}

void SimCentral::deliverDiscovery(const std::shared_ptr<SimPeripheral>& p, bool asAdvertiser) {
    auto core = core_.lock();
    if (!core) return;
    {
        std::lock_guard lock(core->m);
        if (!scanning || seen.contains(p.get())) return;
        if (asAdvertiser &&
            (!p->advertising || p->connection != SimPeripheral::Connection::disconnected)) {
            return;
        }
        seen.insert(p.get());
    }
    if (auto d = delegate()) d->didDiscover(p);
}

void SimCentral::deliverConnect(const std::shared_ptr<SimPeripheral>& p, bool ok) {
    auto d = delegate();
    if (!d) return;
    if (ok) {
        d->didConnect(p);
    } else {
        d->didFailToConnect(p);
    }
}

void SimCentral::deliverDisconnect(const std::shared_ptr<SimPeripheral>& p) {
    if (auto d = delegate()) d->didDisconnect(p);
}

void SimCentral::scheduleAdvertisement(const std::shared_ptr<SimPeripheral>& p) {
    auto core = core_.lock();
    if (!core) return;
    core->after(p->timing.advertiseDelay, [weakSelf = weak_from_this(), weak = std::weak_ptr(p)] {
        auto self = weakSelf.lock();
        auto p = weak.lock();
        if (self && p) self->deliverDiscovery(p, true);
    });
}

}  // namespace orvex::sim
