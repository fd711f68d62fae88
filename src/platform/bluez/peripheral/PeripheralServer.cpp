// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/peripheral/PeripheralServer.hpp"

#include <algorithm>
#include <cctype>

// The names and D-Bus types only: the functions of Values.cpp are the core library's own,
// hidden in a shared build, and this is the simulator library.
#include "platform/bluez/Values.hpp"

namespace orvex::detail::bluez {

namespace {

constexpr const char* GATT_MANAGER = "org.bluez.GattManager1";
constexpr const char* AD_MANAGER = "org.bluez.LEAdvertisingManager1";
constexpr const char* ADVERTISEMENT = "org.bluez.LEAdvertisement1";
constexpr const char* ROOT = "/org/orvex/reader";
constexpr const char* SERVICE_PATH = "/org/orvex/reader/service0";
constexpr const char* AD_PATH = "/org/orvex/reader/advertisement0";

// BlueZ names every UUID in the 36-character lower-case form.
std::string bluezUuid(const platform::Uuid& uuid) {
    std::string text = uuid.str();
    if (text.size() == 4) text = "0000" + text + "-0000-1000-8000-00805f9b34fb";
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<bool> connectedIn(const DbusProps& props) {
    auto it = props.find("Connected");
    if (it == props.end() || !it->second.containsValueOfType<bool>()) return std::nullopt;
    return it->second.get<bool>();
}

bool isBelow(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '/';
}

sdbus::Error bluezError(const std::string& name, const std::string& text) {
    return sdbus::Error("org.bluez.Error." + name, text);
}

// The reader's handle on the server. The server owns the reader, so the reader holds the
// server weakly (the loop outlives both).
class WeakContext : public sim::SimDeviceContext {
public:
    WeakContext(std::weak_ptr<PeripheralServer> server, RunLoop& loop)
        : server_(std::move(server)), loop_(loop) {}
    void notify(const platform::Uuid& characteristic, platform::Bytes value) override {
        if (auto s = server_.lock()) s->notify(characteristic, std::move(value));
    }
    void disconnect() override {
        if (auto s = server_.lock()) s->disconnect();
    }
    void setAdvertising(bool advertising) override {
        if (auto s = server_.lock()) s->setAdvertising(advertising);
    }
    bool isConnected() const override {
        auto s = server_.lock();
        return s && s->isConnected();
    }
    bool isNotifying(const platform::Uuid& characteristic) const override {
        auto s = server_.lock();
        return s && s->isNotifying(characteristic);
    }
    std::shared_ptr<platform::Timer> schedule(double seconds,
                                              std::function<void()> action) override {
        return loop_.schedule(seconds, std::move(action));
    }
    void post(std::function<void()> action) override { loop_.post(std::move(action)); }
    double now() const override { return loop_.now(); }

private:
    std::weak_ptr<PeripheralServer> server_;
    RunLoop& loop_;
};

}  // namespace

PeripheralServer::PeripheralServer(RunLoop& loop, PeripheralOptions options)
    : loop_(loop), options_(std::move(options)),
      log_(options_.log ? options_.log : [](const std::string&) {}),
      adapterPath_("/org/bluez/" + options_.adapter),
      reader_(std::make_shared<sim::SimReader>(options_.reader)) {}

PeripheralServer::~PeripheralServer() {
    // Objects and matches go before the connection they live on.
    matches_.clear();
    advertisement_.reset();
    characteristics_.clear();
    service_.reset();
    root_.reset();
    adapter_.reset();
    device_.reset();
    loop_.detach();
    connection_.reset();
}

std::optional<std::string> PeripheralServer::start() {
    try {
        connection_ = options_.busAddress && !options_.busAddress->empty()
                          ? sdbus::createSessionBusConnectionWithAddress(*options_.busAddress)
                          : sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        return (options_.busAddress ? "cannot reach the bus at " + *options_.busAddress
                                    : std::string("cannot reach the system bus")) +
               ": " + e.getMessage();
    }
    loop_.attach(*connection_);
    reader_->attached(std::make_shared<WeakContext>(weak_from_this(), loop_));
    adapter_ = sdbus::createProxy(*connection_, SERVICE, adapterPath_);
    buildObjects();
    subscribe();
    std::optional<std::string> failure;
    bool done = false;
    registerApplication([&](std::optional<std::string> error) {
        if (error) {
            failure = *error;
            done = true;
            return;
        }
        registerAdvertisement([&](std::optional<std::string> error) {
            failure = error;
            done = true;
        });
    });
    if (!loop_.runUntil([&] { return done; }, 30.0)) return "bluetoothd did not answer";
    return failure;
}

void PeripheralServer::buildObjects() {
    const auto layout = sim::SimReader::gattLayout(options_.reader.service);
    const auto notifyUuid = sim::SimReader::notifyCharacteristic(options_.reader.service);
    const auto writeUuid = sim::SimReader::writeCharacteristic(options_.reader.service);
    root_ = sdbus::createObject(*connection_, ROOT);
    // sd-bus answers GetManagedObjects from the objects registered below the root.
    root_->addObjectManager();

    const std::string serviceUuid = bluezUuid(layout.front().uuid);
    service_ = sdbus::createObject(*connection_, SERVICE_PATH);
    service_->registerProperty("UUID").onInterface(GATT_SERVICE).withGetter(
        [serviceUuid] { return serviceUuid; });
    service_->registerProperty("Primary").onInterface(GATT_SERVICE).withGetter([] {
        return true;
    });
    service_->finishRegistration();

    int index = 0;
    for (const auto& uuid : layout.front().characteristics) {
        auto c = std::make_unique<Characteristic>();
        c->uuid = uuid;
        c->path = std::string(SERVICE_PATH) + "/char" + std::to_string(index++);
        if (uuid == notifyUuid) c->flags.push_back("notify");
        if (uuid == writeUuid) {
            c->flags.push_back("write");
            if (options_.writeWithoutResponse) c->flags.push_back("write-without-response");
        }
        auto* raw = c.get();
        c->object = sdbus::createObject(*connection_, c->path);
        auto& object = *c->object;
        const std::string text = bluezUuid(uuid);
        object.registerProperty("UUID").onInterface(GATT_CHARACTERISTIC).withGetter([text] {
            return text;
        });
        object.registerProperty("Service").onInterface(GATT_CHARACTERISTIC).withGetter([] {
            return sdbus::ObjectPath(SERVICE_PATH);
        });
        object.registerProperty("Flags").onInterface(GATT_CHARACTERISTIC).withGetter([raw] {
            return raw->flags;
        });
        object.registerProperty("Value").onInterface(GATT_CHARACTERISTIC).withGetter([raw] {
            return raw->value;
        });
        object.registerMethod("ReadValue")
            .onInterface(GATT_CHARACTERISTIC)
            .implementedAs([raw](const DbusProps&) { return raw->value; });
        object.registerMethod("WriteValue")
            .onInterface(GATT_CHARACTERISTIC)
            .implementedAs([this, raw](const Bytes& value, const DbusProps& options) {
                if (std::find(raw->flags.begin(), raw->flags.end(), "write") == raw->flags.end())
                    throw bluezError("NotPermitted", "Write not permitted");
                auto type = platform::WriteType::withResponse;
                if (auto it = options.find("type"); it != options.end() &&
                                                    it->second.containsValueOfType<std::string>() &&
                                                    it->second.get<std::string>() == "command") {
                    type = platform::WriteType::withoutResponse;
                }
                std::string device;
                if (auto it = options.find("device");
                    it != options.end() && it->second.containsValueOfType<sdbus::ObjectPath>()) {
                    device = it->second.get<sdbus::ObjectPath>();
                }
                centralConnected(device);
                reader_->onWrite(value, raw->uuid, type);
            });
        object.registerMethod("StartNotify").onInterface(GATT_CHARACTERISTIC).implementedAs([this, raw] {
            centralConnected({});
            if (notifying_.insert(raw->uuid).second) reader_->onNotifyChanged(raw->uuid, true);
        });
        object.registerMethod("StopNotify").onInterface(GATT_CHARACTERISTIC).implementedAs([this, raw] {
            if (notifying_.erase(raw->uuid)) reader_->onNotifyChanged(raw->uuid, false);
        });
        object.finishRegistration();
        characteristics_.push_back(std::move(c));
    }

    advertisement_ = sdbus::createObject(*connection_, AD_PATH);
    const std::string name = options_.reader.name;
    advertisement_->registerProperty("Type").onInterface(ADVERTISEMENT).withGetter([] {
        return std::string("peripheral");
    });
    advertisement_->registerProperty("ServiceUUIDs").onInterface(ADVERTISEMENT).withGetter(
        [serviceUuid] { return std::vector<std::string>{serviceUuid}; });
    advertisement_->registerProperty("LocalName").onInterface(ADVERTISEMENT).withGetter([name] {
        return name;
    });
    advertisement_->registerProperty("Discoverable").onInterface(ADVERTISEMENT).withGetter([] {
        return true;
    });
    advertisement_->registerMethod("Release").onInterface(ADVERTISEMENT).implementedAs([this] {
        advertising_ = false;
        log_("bluetoothd released the advertisement");
    });
    advertisement_->finishRegistration();
}

void PeripheralServer::subscribe() {
    // The central's link: a Device1 of our adapter turning Connected.
    matches_.push_back(connection_->addMatch(
        "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
        "member='PropertiesChanged',path_namespace='" + adapterPath_ + "'",
        [this](sdbus::Message& msg) {
            try {
                std::string interface;
                msg >> interface;
                if (interface != DEVICE) return;
                DbusProps props;
                msg >> props;
                const auto connected = connectedIn(props);
                if (!connected) return;
                if (*connected) {
                    centralConnected(msg.getPath());
                } else if (connected_ && (devicePath_.empty() || devicePath_ == msg.getPath())) {
                    centralGone("the central disconnected");
                }
            } catch (...) {
            }
        }));
    matches_.push_back(connection_->addMatch(
        "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',"
        "member='InterfacesAdded'",
        [this](sdbus::Message& msg) {
            try {
                sdbus::ObjectPath path;
                DbusInterfaces interfaces;
                msg >> path >> interfaces;
                if (!isBelow(path, adapterPath_)) return;
                auto device = interfaces.find(DEVICE);
                if (device == interfaces.end()) return;
                if (connectedIn(device->second).value_or(false))
                    centralConnected(path);
            } catch (...) {
            }
        }));
    // bluetoothd restarted: our registrations went with it; make them again.
    matches_.push_back(connection_->addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.bluez'",
        [this](sdbus::Message& msg) {
            try {
                std::string name, oldOwner, newOwner;
                msg >> name >> oldOwner >> newOwner;
                if (newOwner.empty()) {
                    registered_ = advertising_ = false;
                    if (connected_) centralGone("bluetoothd left the bus");
                    log_("bluetoothd left the bus");
                    return;
                }
                log_("bluetoothd is back: registering again");
                // Its adapters need a moment before they take registrations.
                loop_.schedule(1.0, [this] {
                    registerApplication([this](std::optional<std::string> error) {
                        if (error) log_("registering again failed: " + *error);
                        if (!error && wantAdvertising_) setAdvertising(true);
                    });
                });
            } catch (...) {
            }
        }));
}

void PeripheralServer::registerApplication(std::function<void(std::optional<std::string>)> done) {
    registerWith(GATT_MANAGER, "RegisterApplication", ROOT, &registered_, std::move(done));
}

void PeripheralServer::registerAdvertisement(std::function<void(std::optional<std::string>)> done) {
    registerWith(AD_MANAGER, "RegisterAdvertisement", AD_PATH, &advertising_, std::move(done));
}

// One registration call on the adapter; `registered` is set once bluetoothd accepts it.
void PeripheralServer::registerWith(const char* interface, const char* method, const char* path,
                                    bool* registered,
                                    std::function<void(std::optional<std::string>)> done) {
    adapter_->callMethodAsync(method)
        .onInterface(interface)
        .withArguments(sdbus::ObjectPath(path), DbusProps{})
        .uponReplyInvoke([this, method = std::string(method), registered,
                          done](const sdbus::Error* error) {
            if (error) {
                done(method + " on " + options_.adapter + " failed: " + error->getName() + ": " +
                     error->getMessage());
                return;
            }
            *registered = true;
            done(std::nullopt);
        });
}

void PeripheralServer::unregister(const char* interface, const char* method,
                                  const std::string& path, bool* pending) {
    *pending = true;
    adapter_->callMethodAsync(method)
        .onInterface(interface)
        .withArguments(sdbus::ObjectPath(path))
        .uponReplyInvoke([pending](const sdbus::Error*) { *pending = false; });
}

void PeripheralServer::stop() {
    if (!connection_) return;
    bool adPending = false;
    bool appPending = false;
    try {
        if (advertising_) unregister(AD_MANAGER, "UnregisterAdvertisement", AD_PATH, &adPending);
        if (registered_) unregister(GATT_MANAGER, "UnregisterApplication", ROOT, &appPending);
        loop_.runUntil([&] { return !adPending && !appPending; }, 3.0);
    } catch (const sdbus::Error&) {
        // The bus is gone: so are the registrations.
    }
    advertising_ = registered_ = false;
}

void PeripheralServer::centralConnected(const std::string& device) {
    if (!device.empty()) devicePath_ = device;
    if (connected_) return;
    connected_ = true;
    log_("central connected" + (devicePath_.empty() ? std::string() : " (" + devicePath_ + ")"));
    reader_->onConnect();
}

void PeripheralServer::centralGone(const std::string& why) {
    connected_ = false;
    for (const auto& uuid : notifying_) reader_->onNotifyChanged(uuid, false);
    notifying_.clear();
    log_(why);
    reader_->onDisconnect();
}

PeripheralServer::Characteristic* PeripheralServer::byPath(const std::string& path) {
    for (auto& c : characteristics_)
        if (c->path == path) return c.get();
    return nullptr;
}

void PeripheralServer::notify(const platform::Uuid& characteristic, platform::Bytes value) {
    if (!connected_ || !isNotifying(characteristic)) return;  // as on the air: dropped
    for (auto& c : characteristics_) {
        if (c->uuid != characteristic) continue;
        c->value = std::move(value);
        // bluetoothd sends a notification for every Value change of a notifying
        // characteristic, even when the bytes repeat.
        c->object->emitPropertiesChangedSignal(GATT_CHARACTERISTIC, {"Value"});
        return;
    }
}

void PeripheralServer::disconnect() {
    if (!connected_) return;
    const std::string device = devicePath_;
    if (device.empty()) {
        centralGone("dropped the link");
        return;
    }
    log_("dropping the link");
    device_ = sdbus::createProxy(*connection_, SERVICE, device);
    device_->callMethodAsync("Disconnect")
        .onInterface(DEVICE)
        .withTimeout(std::chrono::seconds(10))
        .uponReplyInvoke([this](const sdbus::Error* error) {
            if (error) log_("Disconnect failed: " + error->getName());
        });
}

void PeripheralServer::setAdvertising(bool advertising) {
    wantAdvertising_ = advertising;
    if (advertising == advertising_ || !registered_) return;
    if (advertising) {
        registerAdvertisement([this](std::optional<std::string> error) {
            log_(error ? *error : "advertising again");
        });
    } else {
        advertising_ = false;
        adapter_->callMethodAsync("UnregisterAdvertisement")
            .onInterface(AD_MANAGER)
            .withArguments(sdbus::ObjectPath(AD_PATH))
            .uponReplyInvoke([this](const sdbus::Error* error) {
                log_(error ? "UnregisterAdvertisement failed: " + error->getName()
                           : std::string("advertising stopped"));
            });
    }
}

void PeripheralServer::goAway() {
    setAdvertising(false);
    disconnect();
}

void PeripheralServer::comeBack() { setAdvertising(true); }

}  // namespace orvex::detail::bluez
