// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/Central.hpp"

#include <algorithm>

#include "reader/Commands.hpp"
#include "reader/Logging.hpp"

namespace orvex::detail::bluez {

using platform::ManagerState;

namespace {

bool isAccessDenied(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.AccessDenied" ||
           errorName == "org.bluez.Error.NotPermitted" ||
           errorName == "org.bluez.Error.NotAuthorized";
}

}  // namespace

// --- Device ------------------------------------------------------------------------------

std::optional<std::string> Device::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

std::string Device::identifier() const {
    // BlueZ names a device object after its address; the path never changes.
    const auto slash = path_.rfind('/');
    std::string address = path_.substr(slash == std::string::npos ? 0 : slash + 1);
    if (address.rfind("dev_", 0) == 0) address.erase(0, 4);
    std::replace(address.begin(), address.end(), '_', ':');
    return address;
}

std::optional<int> Device::rssi() const {
    std::lock_guard lock(mutex_);
    return rssi_;
}

void Device::setRssi(std::optional<int> rssi) {
    std::lock_guard lock(mutex_);
    rssi_ = rssi;
}

void Device::setName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

void Device::setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<platform::PeripheralDelegate> Device::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void Device::discoverServices(const std::vector<platform::Uuid>& services) {
    if (auto c = central_.lock()) {
        c->onQueue([self = shared_from_this(), services](Central& central) {
            central.discoverServices(self, services);
        });
    }
}

void Device::discoverCharacteristics(const std::vector<platform::Uuid>& characteristics,
                                     const std::shared_ptr<platform::Service>& service) {
    if (auto c = central_.lock()) {
        c->onQueue([self = shared_from_this(), characteristics, service](Central& central) {
            central.discoverCharacteristics(self, characteristics, service);
        });
    }
}

void Device::setNotifyValue(bool enabled,
                            const std::shared_ptr<platform::Characteristic>& characteristic) {
    if (auto c = central_.lock()) {
        c->onQueue([self = shared_from_this(), enabled, characteristic](Central& central) {
            central.setNotify(self, enabled, characteristic);
        });
    }
}

void Device::writeValue(const Bytes& data,
                        const std::shared_ptr<platform::Characteristic>& characteristic,
                        platform::WriteType type) {
    if (auto c = central_.lock()) {
        c->onQueue([self = shared_from_this(), data, characteristic, type](Central& central) {
            central.write(self, data, characteristic, type);
        });
    }
}

// --- Central: set-up, bus events, adapter state --------------------------------------------

std::shared_ptr<Central> Central::create(
    std::shared_ptr<TaskLoop> queue, BluezOptions options,
    std::weak_ptr<platform::CentralManagerDelegate> delegate,
    const std::function<std::shared_ptr<SharedBus>()>& connect) {
    auto central =
        std::make_shared<Central>(std::move(queue), std::move(options), std::move(delegate));
    central->start(connect);
    return central;
}

Central::Central(std::shared_ptr<TaskLoop> queue, BluezOptions options,
                 std::weak_ptr<platform::CentralManagerDelegate> delegate)
    : queue_(std::move(queue)), options_(std::move(options)), delegate_(std::move(delegate)) {}

Central::~Central() {
    if (bus_) {
        bus_->unlisten(busListener_);
        // Leave no connection of ours behind; the call is sent, not awaited.
        if (!bus_->isClosed()) {
            for (auto& [path, device] : devices_) {
                if (device->link == Device::Link::idle) continue;
                bus_->call(path, DEVICE, "Disconnect", nullptr, options_.callTimeout, nullptr);
            }
        }
        // The other centrals may go on scanning; if none does, discovery ends.
        if (discoveryStarted_) {
            auto drop = [bus = std::weak_ptr<SharedBus>(bus_), who = busListener_] {
                if (auto b = bus.lock()) b->dropDiscovery(who);
            };
            if (queue_->isCurrent()) {
                drop();
            } else {
                queue_->post(std::move(drop));
            }
        }
    }
    if (graceTimer_) graceTimer_->invalidate();
    for (auto& [path, device] : devices_) {
        if (device->resolveTimer) device->resolveTimer->invalidate();
        // The link may keep its peripherals longer than this central: their sockets go now.
        device->writes.clear();
        device->notifySockets.clear();
    }
    // The bus goes with the last of the platform and its centrals; replies still on their
    // way find this central gone.
    bus_.reset();
    poller_.reset();
}

void Central::post(std::function<void(Central&)> f) {
    queue_->post([weak = weak_from_this(), f = std::move(f)] {
        if (auto self = weak.lock()) f(*self);
    });
}

void Central::onQueue(std::function<void(Central&)> f) {
    if (queue_->isCurrent()) {
        f(*this);
    } else {
        post(std::move(f));
    }
}

void Central::start(const std::function<std::shared_ptr<SharedBus>()>& connect) {
    try {
        bus_ = connect();
        busListener_ = bus_->listen([weak = weak_from_this()](const BusEvent& event) {
            if (auto self = weak.lock()) self->onEvent(event);
        });
        readTree();
    } catch (const sdbus::Error& e) {
        bus_.reset();
        const auto state =
            isAccessDenied(e.getName()) ? ManagerState::unauthorized : ManagerState::unsupported;
        post([state](Central& c) { c.setState(state); });
    } catch (const std::exception&) {
        bus_.reset();
        post([](Central& c) { c.setState(ManagerState::unsupported); });
    }
}

void Central::call(const std::string& path, const std::string& interface, const std::string& method,
                   std::function<void(sdbus::MethodCall&)> arguments,
                   std::chrono::milliseconds timeout,
                   std::function<void(Central&, const CallError*)> done) {
    auto outcome = [weak = weak_from_this(), done = std::move(done)](const CallError* error) {
        auto self = weak.lock();
        if (self && done) done(*self, error);
    };
    if (!bus_) {
        post([outcome = std::move(outcome), path, interface, method](Central&) {
            CallError err{"org.freedesktop.DBus.Error.Disconnected", "no bus"};
            log(LogLevel::error, "BlueZ {}.{} on {} failed: {}: {}", interface, method, path,
                err.name, err.message);
            outcome(&err);
        });
        return;
    }
    bus_->call(path, interface, method, arguments, timeout, std::move(outcome));
}

void Central::readTree() {
    const unsigned read = ++treeRead_;
    auto* queue = queue_.get();
    if (!bus_) return;
    bus_->client().call(
        "/", OBJECT_MANAGER, "GetManagedObjects", nullptr, options_.callTimeout,
        [queue, weak = weak_from_this(), read](sdbus::MethodReply* reply, const CallError* error) {
            std::optional<ObjectTree> tree;
            std::optional<CallError> err;
            if (reply) {
                try {
                    DbusTree raw;
                    *reply >> raw;
                    tree = toTree(raw);
                } catch (const sdbus::Error& e) {
                    err = CallError{e.getName(), e.getMessage()};
                }
            } else if (error) {
                err = *error;
            }
            queue->post([weak, read, tree = std::move(tree), err] {
                auto self = weak.lock();
                if (!self || read != self->treeRead_) return;
                self->applyTree(tree, err ? &*err : nullptr);
            });
        });
}

void Central::applyTree(const std::optional<ObjectTree>& tree, const CallError* error) {
    if (!tree) {
        tree_.clear();
        adapterPath_.clear();
        const bool denied = error && isAccessDenied(error->name);
        setState(denied ? ManagerState::unauthorized : ManagerState::unsupported);
        return;
    }
    tree_ = *tree;
    for (auto& [path, device] : devices_) device->setName(deviceName(path));
    updateState();
}

void Central::updateState() {
    adapterPath_.clear();
    if (!options_.adapter.empty()) {
        const auto path = "/org/bluez/" + options_.adapter;
        auto it = tree_.find(path);
        if (it != tree_.end() && it->second.count(ADAPTER)) adapterPath_ = path;
    } else {
        for (const auto& [path, interfaces] : tree_) {
            if (interfaces.count(ADAPTER)) {
                adapterPath_ = path;
                break;
            }
        }
    }
    if (adapterPath_.empty()) {
        setState(ManagerState::unsupported);
        return;
    }
    const auto& adapter = tree_[adapterPath_][ADAPTER];
    setState(getBool(adapter, "Powered").value_or(false) ? ManagerState::poweredOn
                                                         : ManagerState::poweredOff);
}

void Central::setState(ManagerState state) {
    if (state != ManagerState::poweredOn) {
        scanning_ = false;
        heardThisScan_.clear();
        // BlueZ ends discovery with the adapter (the shared bus has seen that already);
        // any other way here, the want is dropped all the same.
        if (discoveryStarted_ && bus_) bus_->dropDiscovery(busListener_);
        discoveryStarted_ = false;
    }
    if (stateReported_ && reported_.load() == state) return;
    stateReported_ = true;
    reported_ = state;
    if (auto d = delegate()) d->centralManagerDidUpdateState(state);
}

void Central::onEvent(const BusEvent& event) {
    switch (event.kind) {
        case BusEvent::Kind::interfacesAdded:
            objectAdded(event.path, event.added);
            break;
        case BusEvent::Kind::interfacesRemoved:
            objectRemoved(event.path, event.removed);
            break;
        case BusEvent::Kind::propertiesChanged:
            propertiesChanged(event.path, event.interface, event.changed, event.invalidated);
            break;
        case BusEvent::Kind::ownerChanged:
            ownerChanged(event.newOwner);
            break;
        case BusEvent::Kind::closed:
            busClosed();
            break;
    }
}

void Central::objectAdded(const std::string& path, const InterfaceMap& interfaces) {
    auto& object = tree_[path];
    for (const auto& [name, props] : interfaces) object[name] = props;
    if (interfaces.count(ADAPTER)) updateState();
    if (interfaces.count(DEVICE)) {
        if (auto it = devices_.find(path); it != devices_.end())
            it->second->setName(deviceName(path));
        if (!adapterPath_.empty() && isUnder(path, adapterPath_)) heard(path, true);
    }
}

void Central::objectRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
    auto it = tree_.find(path);
    if (it != tree_.end()) {
        for (const auto& name : interfaces) it->second.erase(name);
        if (it->second.empty()) tree_.erase(it);
    }
    const bool adapterGone = path == adapterPath_ && std::find(interfaces.begin(), interfaces.end(),
                                                               ADAPTER) != interfaces.end();
    const bool deviceGone =
        std::find(interfaces.begin(), interfaces.end(), DEVICE) != interfaces.end();
    if (adapterGone) {
        // Its devices and their attributes go with it.
        for (auto t = tree_.begin(); t != tree_.end();) {
            t = isUnder(t->first, path) ? tree_.erase(t) : std::next(t);
        }
        std::vector<std::shared_ptr<Device>> lost;
        for (auto& [p, device] : devices_) {
            if (isUnder(p, path)) lost.push_back(device);
        }
        for (auto& device : lost) endConnection(device);
        updateState();
    } else if (deviceGone) {
        if (auto d = devices_.find(path); d != devices_.end()) {
            auto device = d->second;
            endConnection(device);
        }
    }
}

void Central::propertiesChanged(const std::string& path, const std::string& interface,
                                const PropMap& changed,
                                const std::vector<std::string>& invalidated) {
    auto object = tree_.find(path);
    if (object != tree_.end()) {
        auto& props = object->second[interface];
        for (const auto& [name, value] : changed) props[name] = value;
        for (const auto& name : invalidated) props.erase(name);
    }
    if (interface == ADAPTER) {
        if (path == adapterPath_ && changed.count("Powered")) updateState();
    } else if (interface == DEVICE) {
        auto d = devices_.find(path);
        if (d != devices_.end()) {
            auto device = d->second;
            if (changed.count("Name")) device->setName(deviceName(path));
            deviceChanged(device, changed);
        }
        if (!adapterPath_.empty() && isUnder(path, adapterPath_)) {
            if (changed.count("RSSI")) {
                heard(path, true);
            } else if (changed.count("Name")) {
                heard(path, false);
            }
        }
    } else if (interface == GATT_CHARACTERISTIC) {
        if (auto value = getBytes(changed, "Value")) valueChanged(path, *value);
    }
}

void Central::ownerChanged(const std::string& newOwner) {
    // The daemon left or came back: whatever we knew of its objects is void.
    tree_.clear();
    adapterPath_.clear();
    ++treeRead_;
    dropAll();
    setState(ManagerState::resetting);
    if (graceTimer_) graceTimer_->invalidate();
    graceTimer_.reset();
    if (!newOwner.empty()) {
        readTree();
        return;
    }
    graceTimer_ = queue_->schedule(options_.restartGrace, false, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->readTree();  // still gone: reads as unsupported
    });
}

void Central::busClosed() {
    tree_.clear();
    adapterPath_.clear();
    ++treeRead_;
    dropAll();
    setState(ManagerState::unsupported);
}

void Central::dropAll() {
    std::vector<std::shared_ptr<Device>> lost;
    for (auto& [path, device] : devices_) {
        if (device->link != Device::Link::idle) lost.push_back(device);
    }
    for (auto& device : lost) endConnection(device);
}

std::optional<std::string> Central::deviceName(const std::string& path) const {
    auto object = tree_.find(path);
    if (object == tree_.end()) return std::nullopt;
    auto device = object->second.find(DEVICE);
    if (device == object->second.end()) return std::nullopt;
    auto name = getString(device->second, "Name");
    if (name && name->empty()) return std::nullopt;
    return name;
}

std::optional<int> Central::deviceRssi(const std::string& path) const {
    auto object = tree_.find(path);
    if (object == tree_.end()) return std::nullopt;
    auto device = object->second.find(DEVICE);
    if (device == object->second.end()) return std::nullopt;
    auto rssi = getInt(device->second, "RSSI");
    if (!rssi) return std::nullopt;
    return static_cast<int>(*rssi);
}

std::shared_ptr<Device> Central::deviceFor(const std::string& path) {
    auto& device = devices_[path];
    if (!device) device = std::make_shared<Device>(weak_from_this(), path);
    return device;
}

// --- Discovery ---------------------------------------------------------------------------

void Central::heard(const std::string& path, bool sighting) {
    if (!scanning_) return;
    const auto name = deviceName(path);
    auto it = heardThisScan_.find(path);
    if (it == heardThisScan_.end()) {
        if (!sighting) return;
        heardThisScan_.emplace(path, name.has_value());
    } else if (!it->second && name) {
        it->second = true;  // the name came later: reported once more, with it
    } else {
        return;
    }
    auto device = deviceFor(path);
    device->setName(name);
    device->setRssi(deviceRssi(path));
    if (auto d = delegate()) d->didDiscover(device);
}

void Central::heardBeforeScan() {
    if (!scanning_ || adapterPath_.empty()) return;
    // Another client's discovery may already run with our filter: BlueZ then leaves the
    // RSSI it has and may never change it. A reader left connected (by a process that
    // ended) does not advertise at all, but BlueZ answers Connect on it at once.
    std::vector<std::string> heardAlready;
    for (const auto& [path, interfaces] : tree_) {
        auto device = interfaces.find(DEVICE);
        if (device == interfaces.end() || !isUnder(path, adapterPath_)) continue;
        const auto& props = device->second;
        const auto name = deviceName(path);
        const bool leftConnected =
            getBool(props, "Connected").value_or(false) && name && isReaderName(*name);
        if (props.count("RSSI") || leftConnected) heardAlready.push_back(path);
    }
    for (const auto& path : heardAlready) heard(path, true);
}

void Central::scanForPeripherals() {
    if (reported_.load() == ManagerState::poweredOn) scanning_ = true;
    onQueue([](Central& c) {
        if (c.reported_.load() != ManagerState::poweredOn || c.adapterPath_.empty() || !c.bus_) {
            c.scanning_ = false;
            return;
        }
        const unsigned scan = ++c.scanNumber_;
        c.heardThisScan_.clear();
        c.scanning_ = true;
        if (c.discoveryStarted_) {
            if (c.discoveryAnswered_) c.heardBeforeScan();
            return;
        }
        c.discoveryStarted_ = true;
        c.discoveryAnswered_ = false;
        c.bus_->wantDiscovery(c.busListener_, c.adapterPath_,
                              [weak = c.weak_from_this(), scan](const CallError* error) {
                                  auto self = weak.lock();
                                  if (!self || !self->discoveryStarted_) return;
                                  if (!error) {
                                      self->discoveryAnswered_ = true;
                                      if (scan == self->scanNumber_) self->heardBeforeScan();
                                      return;
                                  }
                                  self->discoveryStarted_ = false;
                                  if (scan == self->scanNumber_) self->scanning_ = false;
                              });
    });
}

void Central::stopScan() {
    scanning_ = false;
    onQueue([](Central& c) {
        c.scanning_ = false;
        c.heardThisScan_.clear();
        if (!c.discoveryStarted_) return;
        c.discoveryStarted_ = false;
        if (c.bus_) c.bus_->dropDiscovery(c.busListener_);
    });
}

}  // namespace orvex::detail::bluez
