// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/Central.hpp"

namespace orvex::detail::bluez {

using platform::ManagerState;

namespace {
constexpr const char* TIMED_OUT = "org.freedesktop.DBus.Error.NoReply";
constexpr const char* ALREADY_CONNECTED = "org.bluez.Error.AlreadyConnected";
}  // namespace

void Central::connect(const std::shared_ptr<platform::Peripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<Device>(peripheral);
    if (!device) return;
    onQueue([device](Central& c) { c.doConnect(device); });
}

void Central::cancelPeripheralConnection(const std::shared_ptr<platform::Peripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<Device>(peripheral);
    if (!device) return;
    onQueue([device](Central& c) { c.doCancel(device); });
}

void Central::doConnect(const std::shared_ptr<Device>& device) {
    if (device->link != Device::Link::idle) return;  // already on its way
    if (reported_.load() != ManagerState::poweredOn || !bus_) {
        post([device](Central& c) {
            if (auto d = c.delegate()) d->didFailToConnect(device);
        });
        return;
    }
    device->link = Device::Link::connecting;
    const unsigned attempt = ++device->attempt;
    call(device->path(), DEVICE, "Connect", nullptr, options_.connectTimeout,
         [device, attempt](Central& c, const CallError* error) {
             c.connectReplied(device, attempt, error);
         });
}

void Central::connectReplied(const std::shared_ptr<Device>& device, unsigned attempt,
                             const CallError* error) {
    if (attempt != device->attempt || device->link != Device::Link::connecting) return;
    if (!error || error->name == ALREADY_CONNECTED) {
        device->link = Device::Link::connected;
        if (auto d = delegate()) d->didConnect(device);
        return;
    }
    device->link = Device::Link::idle;
    ++device->attempt;
    if (error->name == TIMED_OUT) {
        // BlueZ may still be trying: Disconnect also ends a pending Connect.
        call(device->path(), DEVICE, "Disconnect", nullptr, options_.callTimeout, nullptr);
    }
    if (auto d = delegate()) d->didFailToConnect(device);
}

void Central::doCancel(const std::shared_ptr<Device>& device) {
    switch (device->link) {
        case Device::Link::idle:
            // Nothing to take down; the end is still reported, as for any cancel.
            post([device](Central& c) {
                if (auto d = c.delegate()) d->didDisconnect(device);
            });
            return;
        case Device::Link::cancelling:
            return;
        case Device::Link::connecting:
        case Device::Link::connected:
            break;
    }
    device->link = Device::Link::cancelling;
    const unsigned attempt = ++device->attempt;
    call(device->path(), DEVICE, "Disconnect", nullptr, options_.callTimeout,
         [device, attempt](Central& c, const CallError*) {
             // Whatever the answer (also none in time), the connection is over for us.
             if (attempt == device->attempt && device->link == Device::Link::cancelling) {
                 c.endConnection(device);
             }
         });
}

void Central::endConnection(const std::shared_ptr<Device>& device) {
    if (device->link == Device::Link::idle) return;
    device->link = Device::Link::idle;
    ++device->attempt;
    device->servicesWanted.reset();
    device->fetchingServices = false;
    if (device->resolveTimer) device->resolveTimer->invalidate();
    device->resolveTimer.reset();
    device->notifying.clear();
    device->writes.clear();  // closes the write sockets
    for (const auto& [path, id] : device->notifySockets) {
        if (poller_) poller_->remove(id);
    }
    device->notifySockets.clear();
    device->notifyPending = 0;
    if (auto d = delegate()) d->didDisconnect(device);
}

void Central::deviceChanged(const std::shared_ptr<Device>& device, const PropMap& changed) {
    if (auto connected = getBool(changed, "Connected"); connected && !*connected) {
        // A pending Connect is answered by BlueZ itself; a link we had is gone.
        if (device->link == Device::Link::connected || device->link == Device::Link::cancelling) {
            endConnection(device);
        }
        return;
    }
    if (getBool(changed, "ServicesResolved").value_or(false) &&
        device->link == Device::Link::connected && device->servicesWanted &&
        !device->fetchingServices) {
        servicesResolved(device);
    }
}

}  // namespace orvex::detail::bluez
