// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>

#include "BluezHarness.hpp"

namespace orvex::bluez_test {

// Stands in for the link: records every callback of the backend as a line, and checks
// that each one arrives on the link queue.
class Recorder : public platform::CentralManagerDelegate,
                 public platform::PeripheralDelegate,
                 public std::enable_shared_from_this<Recorder> {
public:
    Log log;

    void setQueueThread(std::thread::id id) {
        std::lock_guard lock(mutex_);
        queueThread_ = id;
    }
    std::shared_ptr<platform::Peripheral> peripheral(const std::string& name) {
        std::lock_guard lock(mutex_);
        auto it = byName_.find(name);
        return it == byName_.end() ? nullptr : it->second;
    }
    platform::ServiceList services() {
        std::lock_guard lock(mutex_);
        return services_;
    }
    platform::CharacteristicList characteristics() {
        std::lock_guard lock(mutex_);
        return characteristics_;
    }
    Bytes received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    void centralManagerDidUpdateState(ManagerState state) override {
        note("state " + std::to_string(static_cast<int>(state)));
    }
    void didDiscover(const std::shared_ptr<platform::Peripheral>& p) override {
        const auto name = p->name();
        {
            std::lock_guard lock(mutex_);
            if (name) byName_[*name] = p;
        }
        note("discover " + name.value_or("-"));
    }
    void didConnect(const std::shared_ptr<platform::Peripheral>&) override { note("connect"); }
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>&) override { note("fail"); }
    void didDisconnect(const std::shared_ptr<platform::Peripheral>&) override {
        note("disconnect");
    }
    void didDiscoverServices(const std::shared_ptr<platform::Peripheral>&,
                             const std::optional<platform::ServiceList>& services,
                             bool error) override {
        std::string line = "services";
        if (error) {
            line += " error";
        } else if (!services) {
            line += " absent";
        } else {
            std::lock_guard lock(mutex_);
            services_ = *services;
            for (const auto& s : *services) line += " " + s->uuid().str();
        }
        note(line);
    }
    void didDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>&,
                                    const std::shared_ptr<platform::Service>&,
                                    const std::optional<platform::CharacteristicList>& list,
                                    bool error) override {
        std::string line = "characteristics";
        if (error) {
            line += " error";
        } else if (!list) {
            line += " absent";
        } else {
            std::lock_guard lock(mutex_);
            characteristics_ = *list;
            for (const auto& c : *list) line += " " + c->uuid().str();
        }
        note(line);
    }
    void didUpdateValue(const std::shared_ptr<platform::Peripheral>&,
                        const std::shared_ptr<platform::Characteristic>&,
                        const Bytes& value) override {
        {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), value.begin(), value.end());
        }
        note("value");
    }

private:
    void note(std::string line) {
        {
            std::lock_guard lock(mutex_);
            if (queueThread_ != std::thread::id{} && queueThread_ != std::this_thread::get_id()) {
                line += " (off the link queue)";
            }
        }
        log.add(std::move(line));
    }

    std::mutex mutex_;
    std::thread::id queueThread_;
    std::map<std::string, std::shared_ptr<platform::Peripheral>> byName_;
    platform::ServiceList services_;
    platform::CharacteristicList characteristics_;
    Bytes received_;
};

// A backend platform and central manager on a world, with a recorder as their delegate.
struct Backend {
    explicit Backend(BluezOptions options)
        : platform(makeBluezPlatform(std::move(options))), recorder(std::make_shared<Recorder>()) {
        onLinkQueue(*platform, [r = recorder] { r->setQueueThread(std::this_thread::get_id()); });
        central = platform->createCentralManager(recorder);
    }
    ~Backend() {
        // Drop the central on the link queue, as the link does.
        if (central) {
            auto c = std::move(central);
            onLinkQueue(*platform, [c = std::move(c)]() mutable { c.reset(); });
        }
    }

    // Scans until the reader named `name` is reported, then stops scanning.
    std::shared_ptr<platform::Peripheral> findReader(const std::string& name = "KX-BT4 SIM") {
        central->scanForPeripherals();
        EXPECT_TRUE(recorder->log.waitFor("discover " + name)) << recorder->log.dump();
        central->stopScan();
        return recorder->peripheral(name);
    }

    // Scans, connects and discovers the reader's characteristics (the link's order).
    std::shared_ptr<platform::Peripheral> connectReader(
        const std::vector<platform::Uuid>& services,
        const std::vector<platform::Uuid>& characteristics) {
        auto reader = findReader();
        if (!reader) return nullptr;
        reader->setDelegate(recorder);
        central->connect(reader);
        EXPECT_TRUE(recorder->log.waitFor("connect")) << recorder->log.dump();
        reader->discoverServices(services);
        EXPECT_TRUE(recorder->log.waitUntil([](const auto& lines) {
            return std::any_of(lines.begin(), lines.end(),
                               [](const auto& l) { return l.rfind("services", 0) == 0; });
        }));
        auto list = recorder->services();
        if (list.empty()) return reader;
        reader->discoverCharacteristics(characteristics, list.front());
        EXPECT_TRUE(recorder->log.waitUntil([](const auto& lines) {
            return std::any_of(lines.begin(), lines.end(),
                               [](const auto& l) { return l.rfind("characteristics", 0) == 0; });
        }));
        return reader;
    }

    std::shared_ptr<platform::Platform> platform;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<platform::CentralManager> central;
};

}  // namespace orvex::bluez_test
