// SPDX-License-Identifier: Apache-2.0
// The further readers of the fake org.bluez: each a Device1 with its own address, GATT
// objects and simulated reader, so that several links can each have a reader of their own.

#include <algorithm>

#include "fakebluez/FakeImpl.hpp"

namespace orvex::detail::bluez {

namespace {

sdbus::Error bluezError(const std::string& name, const std::string& text) {
    return sdbus::Error("org.bluez.Error." + name, text);
}

std::string lowerUuid(const platform::Uuid& uuid) {
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

struct FakeBluez::Impl::Extra {
    FakeReaderConfig config;
    std::string path, servicePath, notifyPath, writePath;
    platform::Uuid notifyUuid, writeUuid;
    bool connected = false;
    bool notifying = false;
    unsigned epoch = 0;
    std::atomic<bool> connectedFlag{false};
    std::atomic<bool> notifyingFlag{false};
    std::shared_ptr<sim::SimReader> reader;
    std::shared_ptr<sim::SimDeviceContext> context;

    void addGatt(Impl& s) {
        if (s.tree.count(servicePath)) return;
        FakeInterfaces service;
        auto& sv = service[GATT_SERVICE];
        sv["UUID"] = FakeValue(lowerUuid(config.reader.service == sim::SimService::serial16
                                             ? platform::Uuid("FFE0")
                                             : platform::Uuid("49535343-FE7D-4AE5-8FA9-9FAFD205E455")));
        sv["Primary"] = FakeValue(true);
        sv["Device"] = FakeValue(sdbus::ObjectPath(path));
        sv["Includes"] = FakeValue(std::vector<sdbus::ObjectPath>{});
        s.addObject(servicePath, std::move(service));
        auto characteristic = [&](const std::string& p, const platform::Uuid& uuid,
                                  std::vector<std::string> flags) {
            FakeInterfaces c;
            auto& props = c[GATT_CHARACTERISTIC];
            props["UUID"] = FakeValue(lowerUuid(uuid));
            props["Service"] = FakeValue(sdbus::ObjectPath(servicePath));
            props["Value"] = FakeValue(Bytes{});
            props["Notifying"] = FakeValue(false);
            props["Flags"] = FakeValue(std::move(flags));
            props["MTU"] = FakeValue(config.mtu);
            s.addObject(p, std::move(c));
        };
        if (notifyPath == writePath) {
            characteristic(notifyPath, notifyUuid,
                           {"read", "write-without-response", "write", "notify"});
        } else {
            characteristic(notifyPath, notifyUuid, {"notify"});
            characteristic(writePath, writeUuid, {"write-without-response", "write"});
        }
    }

    void dropLink(Impl& s, bool tell) {
        if (!connected) return;
        connected = false;
        connectedFlag = false;
        notifying = false;
        notifyingFlag = false;
        ++epoch;
        if (tell && s.tree.count(notifyPath)) {
            s.setProps(notifyPath, GATT_CHARACTERISTIC, {{"Notifying", FakeValue(false)}});
        }
        if (tell) {
            s.setProps(path, DEVICE, {{"ServicesResolved", FakeValue(false)}});
            s.setProps(path, DEVICE, {{"Connected", FakeValue(false)}});
        }
        if (reader) reader->onDisconnect();
    }

    void notifyValue(Impl& s, const platform::Uuid& characteristic, const Bytes& value) {
        if (!connected || !notifying || characteristic != notifyUuid || !s.loop) return;
        s.setProps(notifyPath, GATT_CHARACTERISTIC, {{"Value", FakeValue(value)}});
    }
};

namespace {

// An extra reader's handle on the fake: the fake's loop and clock.
class ExtraContext : public sim::SimDeviceContext {
public:
    ExtraContext(std::weak_ptr<FakeBluez::Impl> fake, std::weak_ptr<FakeBluez::Impl::Extra> extra,
                 std::weak_ptr<TaskLoop> queue)
        : fake_(std::move(fake)), extra_(std::move(extra)), queue_(std::move(queue)) {}

    void notify(const platform::Uuid& characteristic, platform::Bytes value) override {
        post([fake = fake_, extra = extra_, characteristic, value = std::move(value)] {
            auto s = fake.lock();
            auto e = extra.lock();
            if (s && e) e->notifyValue(*s, characteristic, value);
        });
    }
    void disconnect() override {
        post([fake = fake_, extra = extra_] {
            auto s = fake.lock();
            auto e = extra.lock();
            if (s && e) e->dropLink(*s, true);
        });
    }
    void setAdvertising(bool) override {}
    bool isConnected() const override {
        auto e = extra_.lock();
        return e && e->connectedFlag.load();
    }
    bool isNotifying(const platform::Uuid&) const override {
        auto e = extra_.lock();
        return e && e->notifyingFlag.load();
    }
    std::shared_ptr<platform::Timer> schedule(double seconds,
                                              std::function<void()> action) override {
        auto queue = queue_.lock();
        if (!queue) return nullptr;
        return queue->schedule(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds)),
                               false, std::move(action));
    }
    void post(std::function<void()> action) override {
        if (auto queue = queue_.lock()) queue->post(std::move(action));
    }
    double now() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    std::weak_ptr<FakeBluez::Impl> fake_;
    std::weak_ptr<FakeBluez::Impl::Extra> extra_;
    std::weak_ptr<TaskLoop> queue_;
};

}  // namespace

void FakeBluez::Impl::makeExtras(const std::shared_ptr<Impl>& self) {
    for (const auto& config : this->config.moreReaders) {
        auto e = std::make_shared<Extra>();
        e->config = config;
        auto simConfig = config.reader;
        simConfig.name = config.device.name.value_or(simConfig.name);
        simConfig.notificationSize =
            std::min(simConfig.notificationSize, static_cast<std::size_t>(config.mtu) - 3);
        e->reader = std::make_shared<sim::SimReader>(std::move(simConfig));
        e->context = std::make_shared<ExtraContext>(self, e, queue);
        e->reader->attached(e->context);
        extras.push_back(e);
    }
}

void FakeBluez::Impl::buildExtras() {
    for (auto& e : extras) {
        e->path = devicePath(e->config.device);
        const auto service = e->config.reader.service;
        e->notifyUuid = sim::SimReader::notifyCharacteristic(service);
        e->writeUuid = sim::SimReader::writeCharacteristic(service);
        if (service == sim::SimService::serial16) {
            e->servicePath = e->path + "/service0010";
            e->notifyPath = e->writePath = e->servicePath + "/char0011";
        } else {
            e->servicePath = e->path + "/service000c";
            e->notifyPath = e->servicePath + "/char000d";
            e->writePath = e->servicePath + "/char0010";
        }
        if (e->config.device.cached) addObject(e->path, deviceInterfaces(e->config.device, true, false));
    }
}

FakeBluez::Impl::Extra* FakeBluez::Impl::extraAt(const std::string& path) {
    for (auto& e : extras) {
        if (!e->path.empty() && (path == e->path || isUnder(path, e->path))) return e.get();
    }
    return nullptr;
}

bool FakeBluez::Impl::extraConnected(const std::string& path) {
    const Extra* e = extraAt(path);
    return e && e->connected;
}

bool FakeBluez::Impl::extraConnect(const std::string& path, sdbus::Result<>& result) {
    Extra* e = extraAt(path);
    if (!e) return false;
    if (e->connected) {
        result.returnResults();
        return true;
    }
    const unsigned attempt = ++e->epoch;
    auto r = std::make_shared<sdbus::Result<>>(std::move(result));
    after(e->config.connectDelay, [e, attempt, r](Impl& s) {
        if (attempt != e->epoch) {
            r->returnError(bluezError("Failed", "le-connection-abort-by-local"));
            s.loop->wake();
            return;
        }
        e->connected = true;
        e->connectedFlag = true;
        s.setProps(e->path, DEVICE, {{"Connected", FakeValue(true)}});
        r->returnResults();
        s.loop->wake();
        e->reader->onConnect();
        s.after(e->config.resolveDelay, [e, attempt](Impl& t) {
            if (attempt != e->epoch || !e->connected) return;
            e->addGatt(t);
            t.setProps(e->path, DEVICE, {{"ServicesResolved", FakeValue(true)}});
        });
    });
    return true;
}

bool FakeBluez::Impl::extraDisconnect(const std::string& path, sdbus::Result<>& result) {
    Extra* e = extraAt(path);
    if (!e) return false;
    ++e->epoch;  // a connection still being made fails
    e->dropLink(*this, true);
    result.returnResults();
    return true;
}

bool FakeBluez::Impl::extraNotify(const std::string& path, bool on, sdbus::Result<>& result) {
    Extra* e = extraAt(path);
    if (!e) return false;
    if (on && !e->connected) {
        result.returnError(bluezError("NotConnected", "Not Connected"));
        return true;
    }
    if (path != e->notifyPath) {
        result.returnError(bluezError("NotSupported", "Operation is not supported"));
        return true;
    }
    if (e->notifying != on) {
        e->notifying = on;
        e->notifyingFlag = on;
        result.returnResults();
        setProps(path, GATT_CHARACTERISTIC, {{"Notifying", FakeValue(on)}});
        return true;
    }
    result.returnResults();
    return true;
}

bool FakeBluez::Impl::extraWrite(const std::string& path, const Bytes& bytes,
                                 const std::string& type, sdbus::Result<>& result) {
    Extra* e = extraAt(path);
    if (!e) return false;
    if (!e->connected) {
        result.returnError(bluezError("Failed", "Not connected"));
    } else if (bytes.size() + 3 > e->config.mtu) {
        result.returnError(
            bluezError("InvalidValueLength", "Invalid Attribute Value Length (0x0d)"));
    } else if (path != e->writePath) {
        result.returnError(bluezError("NotPermitted", "Write not permitted"));
    } else {
        e->reader->onWrite(bytes, e->writeUuid,
                           type == "command" ? platform::WriteType::withoutResponse
                                             : platform::WriteType::withResponse);
        result.returnResults();
    }
    return true;
}

void FakeBluez::Impl::dropExtras(bool tell) {
    for (auto& e : extras) {
        ++e->epoch;
        e->dropLink(*this, tell);
    }
}

std::shared_ptr<sim::SimReader> FakeBluez::reader(std::size_t index) const {
    if (index == 0) return impl_->reader;
    if (index - 1 < impl_->extras.size()) return impl_->extras[index - 1]->reader;
    return nullptr;
}

void FakeBluez::dropConnection(std::size_t index) {
    if (index == 0) {
        dropConnection();
        return;
    }
    impl_->sync([index](Impl& s) {
        if (index - 1 < s.extras.size()) s.extras[index - 1]->dropLink(s, true);
    });
}

}  // namespace orvex::detail::bluez
