// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <stdexcept>
#include <type_traits>

#include "fakebluez/FakeImpl.hpp"

namespace orvex::detail::bluez {

namespace {

FakeValue str(const std::string& s) {
    return FakeValue{s};
}

std::string lower(const platform::Uuid& uuid) {
    // BlueZ spells every UUID in its 128-bit lower-case form.
    static const char* hex = "0123456789abcdef";
    std::string out;
    const auto& b = uuid.bytes();
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 0xF];
    }
    return out;
}

}  // namespace

sdbus::Variant toVariant(const FakeValue& value) {
    return std::visit([](const auto& v) { return sdbus::Variant(v); }, value);
}

DbusProps toDbus(const FakeProps& props) {
    DbusProps out;
    for (const auto& [name, value] : props) out.emplace(name, toVariant(value));
    return out;
}

std::string FakeBluez::Impl::devicePath(const FakeDeviceConfig& device) const {
    std::string tail = device.address;
    std::replace(tail.begin(), tail.end(), ':', '_');
    return adapterPath + "/dev_" + tail;
}

void FakeBluez::Impl::startBus() {
    connection = sdbus::createSessionBusConnectionWithAddress(address);
    loop = std::make_unique<BusLoop>(*connection, "fake-bluez-bus");
    auto root = sdbus::createObject(*connection, "/");
    root->addObjectManager();  // sd-bus answers GetManagedObjects from the registered objects
    objects["/"] = std::move(root);
    buildTree();
    loop->start([this] { busLost.store(true); });
    // Owning the name is the sign that everything is in place.
    connection->requestName(SERVICE);
    loop->wake();
}

void FakeBluez::Impl::stopBus() {
    closeDirectWrites();
    closeSockets();  // the daemon's ends go with it
    if (loop) loop->stop();
    pendingConnect.reset();
    heldReplies.clear();
    tree.clear();
    // Calls the bus thread handed over before it stopped may still wait on this loop; their
    // messages must go before the connection does, so it is retired behind them.
    struct Retired {
        std::unique_ptr<sdbus::IConnection> connection;
        std::unique_ptr<BusLoop> loop;
        std::map<std::string, std::unique_ptr<sdbus::IObject>> objects;
        ~Retired() {
            objects.clear();
            loop.reset();
            connection.reset();
        }
    };
    auto retired = std::make_shared<Retired>();
    retired->objects = std::move(objects);
    retired->loop = std::move(loop);
    retired->connection = std::move(connection);
    objects.clear();
    queue->post([retired]() mutable { retired.reset(); });
}

void FakeBluez::Impl::buildTree() {
    adapterPath = "/org/bluez/" + config.adapter;
    adapterPresent = true;
    FakeInterfaces adapter;
    auto& a = adapter[ADAPTER];
    a["Address"] = str("00:1A:7D:DA:71:13");
    a["AddressType"] = str("public");
    a["Name"] = str("orvex-fake");
    a["Alias"] = str("orvex-fake");
    a["Class"] = FakeValue(std::uint32_t{0x6c010c});
    a["Powered"] = FakeValue(powered);
    a["PowerState"] = str(powered ? "on" : "off");
    a["Discoverable"] = FakeValue(false);
    a["Pairable"] = FakeValue(true);
    a["Discovering"] = FakeValue(false);
    a["UUIDs"] = FakeValue(std::vector<std::string>{});
    addObject(adapterPath, std::move(adapter));
    heardElsewhere.clear();
    for (const auto& device : config.nearby) {
        if (device.heardElsewhere) heardElsewhere.insert(devicePath(device));
        if (device.cached || device.heardElsewhere) {
            addObject(devicePath(device), deviceInterfaces(device, true, device.heardElsewhere));
        }
    }
    readerPresent = config.reader.has_value();
    if (config.reader) {
        readerPath = devicePath(config.reader->device);
        const auto service = config.reader->reader.service;
        notifyUuid = sim::SimReader::notifyCharacteristic(service);
        writeUuid = sim::SimReader::writeCharacteristic(service);
        if (service == sim::SimService::serial16) {
            servicePath = readerPath + "/service0010";
            notifyPath = writePath = servicePath + "/char0011";
        } else {
            servicePath = readerPath + "/service000c";
            notifyPath = servicePath + "/char000d";
            writePath = servicePath + "/char0010";
        }
        const auto& device = config.reader->device;
        if (device.heardElsewhere) heardElsewhere.insert(readerPath);
        if (config.reader->connectedAtStart) {
            // Only the first start: a daemon that restarts has dropped its links.
            config.reader->connectedAtStart = false;
            auto interfaces = deviceInterfaces(device, true, device.heardElsewhere);
            interfaces[DEVICE]["Connected"] = FakeValue(true);
            interfaces[DEVICE]["ServicesResolved"] = FakeValue(true);
            addObject(readerPath, std::move(interfaces));
            addGatt();
            connected = true;
            connectedFlag = true;
            if (reader) reader->onConnect();
        } else if (device.cached || device.heardElsewhere) {
            addObject(readerPath, deviceInterfaces(device, true, device.heardElsewhere));
        }
    }
    buildExtras();
}

FakeInterfaces FakeBluez::Impl::deviceInterfaces(const FakeDeviceConfig& device, bool withName,
                                                 bool heard) {
    FakeInterfaces interfaces;
    auto& d = interfaces[DEVICE];
    std::string dashed = device.address;
    std::replace(dashed.begin(), dashed.end(), ':', '-');
    d["Address"] = str(device.address);
    d["AddressType"] = str("public");
    if (withName && device.name) {
        d["Name"] = str(*device.name);
        d["Alias"] = str(*device.name);
    } else {
        d["Alias"] = str(dashed);
    }
    d["Adapter"] = FakeValue(sdbus::ObjectPath(adapterPath));
    d["Connected"] = FakeValue(false);
    d["ServicesResolved"] = FakeValue(false);
    d["Paired"] = FakeValue(false);
    d["Trusted"] = FakeValue(false);
    d["Blocked"] = FakeValue(false);
    d["LegacyPairing"] = FakeValue(false);
    d["UUIDs"] = FakeValue(std::vector<std::string>{});
    if (heard) d["RSSI"] = FakeValue(device.rssi);
    return interfaces;
}

void FakeBluez::Impl::addGatt() {
    if (tree.count(servicePath)) return;  // kept across connections, as BlueZ's cache does
    FakeInterfaces service;
    auto& s = service[GATT_SERVICE];
    s["UUID"] = str(lower(config.reader->reader.service == sim::SimService::serial16
                              ? platform::Uuid("FFE0")
                              : platform::Uuid("49535343-FE7D-4AE5-8FA9-9FAFD205E455")));
    s["Primary"] = FakeValue(true);
    s["Device"] = FakeValue(sdbus::ObjectPath(readerPath));
    s["Includes"] = FakeValue(std::vector<sdbus::ObjectPath>{});
    addObject(servicePath, std::move(service));
    auto characteristic = [&](const std::string& path, const platform::Uuid& uuid,
                              std::vector<std::string> flags) {
        FakeInterfaces c;
        auto& p = c[GATT_CHARACTERISTIC];
        p["UUID"] = str(lower(uuid));
        p["Service"] = FakeValue(sdbus::ObjectPath(servicePath));
        p["Value"] = FakeValue(Bytes{});
        p["Notifying"] = FakeValue(false);
        p["Flags"] = FakeValue(std::move(flags));
        p["MTU"] = FakeValue(config.reader->mtu);
        addObject(path, std::move(c));
    };
    if (notifyPath == writePath) {
        characteristic(notifyPath, notifyUuid,
                       {"read", "write-without-response", "write", "notify"});
    } else {
        characteristic(notifyPath, notifyUuid, {"notify"});
        characteristic(writePath, writeUuid, {"write-without-response", "write"});
    }
}

void FakeBluez::Impl::registerObject(const std::string& path, const FakeInterfaces& interfaces) {
    // An object registered anew is briefly absent from the connection: no call may be
    // dispatched meanwhile (BlueZ's objects keep answering while their properties change).
    std::unique_lock<std::mutex> hold;
    if (loop && !loop->isCurrent()) hold = loop->holdDispatch();
    objects.erase(path);
    auto object = sdbus::createObject(*connection, path);
    if (interfaces.count(ADAPTER)) registerAdapter(*object);
    if (interfaces.count(DEVICE)) registerDevice(*object, path);
    if (interfaces.count(GATT_CHARACTERISTIC)) registerCharacteristic(*object, path);
    for (const auto& [interface, props] : interfaces) {
        for (const auto& [name, value] : props) {
            std::visit(
                [&, interface = interface, name = name](const auto& v) {
                    using T = std::decay_t<decltype(v)>;
                    object->registerProperty(name).onInterface(interface).withGetter(
                        [this, path, interface, name]() -> T {
                            std::lock_guard lock(treeMutex);
                            auto object = tree.find(path);
                            if (object == tree.end()) return T{};
                            auto props = object->second.find(interface);
                            if (props == object->second.end()) return T{};
                            auto value = props->second.find(name);
                            if (value == props->second.end()) return T{};
                            if (const T* current = std::get_if<T>(&value->second)) return *current;
                            return T{};
                        });
                },
                value);
        }
    }
    object->finishRegistration();
    objects[path] = std::move(object);
}

void FakeBluez::Impl::addObject(const std::string& path, FakeInterfaces interfaces) {
    {
        std::lock_guard lock(treeMutex);
        tree[path] = interfaces;
    }
    registerObject(path, interfaces);
    DbusInterfaces wire;
    for (const auto& [name, props] : interfaces) wire.emplace(name, toDbus(props));
    emit(*objects["/"], OBJECT_MANAGER, "InterfacesAdded",
         [&](sdbus::Signal& signal) { signal << sdbus::ObjectPath(path) << wire; });
}

void FakeBluez::Impl::emit(sdbus::IObject& object, const std::string& interface,
                           const std::string& member,
                           const std::function<void(sdbus::Signal&)>& fill) {
    try {
        auto signal = object.createSignal(interface, member);
        fill(signal);
        object.emitSignal(signal);
    } catch (const sdbus::Error&) {
        busLost.store(true);  // nobody is left to hear it
        return;
    }
    loop->wakeIfNeeded();
}

void FakeBluez::Impl::removeObject(const std::string& path) {
    std::vector<std::string> names;
    {
        std::lock_guard lock(treeMutex);
        auto it = tree.find(path);
        if (it == tree.end()) return;
        for (const auto& [name, props] : it->second) names.push_back(name);
        tree.erase(it);
    }
    objects.erase(path);
    emit(*objects["/"], OBJECT_MANAGER, "InterfacesRemoved",
         [&](sdbus::Signal& signal) { signal << sdbus::ObjectPath(path) << names; });
}

void FakeBluez::Impl::removeUnder(const std::string& path) {
    // Deepest first, as BlueZ takes attributes down before their device.
    std::vector<std::string> paths;
    for (const auto& [p, interfaces] : tree) {
        if (isUnder(p, path)) paths.push_back(p);
    }
    std::sort(paths.begin(), paths.end(), std::greater<>());
    for (const auto& p : paths) removeObject(p);
    removeObject(path);
}

void FakeBluez::Impl::setProps(const std::string& path, const std::string& interface,
                               FakeProps changed, std::vector<std::string> invalidated) {
    bool reshaped = false;  // a property came or went: the object is registered anew
    FakeInterfaces now;
    {
        std::lock_guard lock(treeMutex);
        auto it = tree.find(path);
        if (it == tree.end() || !loop) return;
        auto& props = it->second[interface];
        for (const auto& [name, value] : changed) {
            reshaped = reshaped || !props.count(name);
            props[name] = value;
        }
        for (const auto& name : invalidated) reshaped = props.erase(name) > 0 || reshaped;
        now = it->second;
    }
    if (reshaped) registerObject(path, now);
    auto& object = objectAt(path);
    emit(object, PROPERTIES, "PropertiesChanged", [&](sdbus::Signal& signal) {
        signal << interface << toDbus(changed) << invalidated;
    });
}

sdbus::IObject& FakeBluez::Impl::objectAt(const std::string& path) {
    auto& object = objects[path];
    if (!object) throw std::logic_error("fake org.bluez: no object at " + path);
    return *object;
}

void FakeBluez::Impl::sight(const FakeDeviceConfig& device) {
    const auto path = devicePath(device);
    if (!adapterPresent || !powered || discoverySessions.empty()) return;
    if (path == readerPath && (connected || !readerPresent)) return;  // a connected reader is quiet
    if (heardElsewhere.count(path)) return;  // the other client's scan keeps what it heard
    if (extraConnected(path)) return;
    auto it = tree.find(path);
    if (it == tree.end()) {
        addObject(path, deviceInterfaces(device, !device.nameLater, true));
        if (device.nameLater && device.name) {
            after(std::chrono::milliseconds(20), [path, name = *device.name](Impl& s) {
                s.setProps(path, DEVICE, {{"Name", str(name)}, {"Alias", str(name)}});
            });
        }
        return;
    }
    rssiSwing = static_cast<std::int16_t>(rssiSwing == 0 ? 10 : 0);
    setProps(path, DEVICE,
             {{"RSSI", FakeValue(static_cast<std::int16_t>(device.rssi - rssiSwing))}});
}

void FakeBluez::Impl::startAdvertising() {
    std::vector<FakeDeviceConfig> devices = config.nearby;
    if (config.reader) devices.push_back(config.reader->device);
    for (const auto& more : config.moreReaders) devices.push_back(more.device);
    auto step = config.advertiseInterval;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        advertiseTimers.push_back(queue->schedule(step * static_cast<int>(i + 1), false,
                                                  [this, device = devices[i]] { sight(device); }));
    }
    advertiseTimers.push_back(queue->schedule(config.readvertiseInterval, true, [this, devices] {
        for (const auto& device : devices) sight(device);
    }));
}

void FakeBluez::Impl::stopAdvertising() {
    for (auto& timer : advertiseTimers) timer->invalidate();
    advertiseTimers.clear();
    // BlueZ forgets the signal strength of what it no longer hears.
    for (const auto& [path, interfaces] : tree) {
        auto d = interfaces.find(DEVICE);
        if (d == interfaces.end() || !d->second.count("RSSI") || heardElsewhere.count(path))
            continue;
        const std::string p = path;
        queue->post([this, p] { setProps(p, DEVICE, {}, {"RSSI"}); });
    }
}

void FakeBluez::Impl::notifyValue(const platform::Uuid& characteristic, const Bytes& value) {
    if (!connected || !notifying || characteristic != notifyUuid || !loop) return;
    {
        std::lock_guard lock(recordMutex);
        notificationTimes.push_back(std::chrono::steady_clock::now());
    }
    if (notifySocket) {
        if (sendPacket(notifySocket.get(), value.data(), value.size()) < 0) {
            // The client let go of it: the acquired session is over.
            {
                std::lock_guard lock(socketMutex);
                notifySocket.reset();
                notifySocketFd = -1;
            }
            notifying = false;
            notifyingFlag = false;
        }
        return;
    }
    // Every notification changes Value alone: the signal is written directly, without a
    // copy of the object's properties or a variant (a message of its own) for the value.
    {
        std::lock_guard lock(treeMutex);
        auto object = tree.find(notifyPath);
        if (object == tree.end()) return;
        auto& props = object->second[GATT_CHARACTERISTIC];
        auto current = props.find("Value");
        if (current == props.end()) return;
        current->second = value;
    }
    emit(objectAt(notifyPath), PROPERTIES, "PropertiesChanged", [&](sdbus::Signal& signal) {
        signal << GATT_CHARACTERISTIC;
        signal.openContainer("{sv}");
        signal.openDictEntry("sv");
        signal << "Value";
        signal.openVariant("ay");
        signal << value;
        signal.closeVariant();
        signal.closeDictEntry();
        signal.closeContainer();
        signal << std::vector<std::string>{};
    });
}

}  // namespace orvex::detail::bluez
