// SPDX-License-Identifier: Apache-2.0
#pragma once

// A tiny platform and peripheral for driving the updaters directly: writes are recorded,
// timers fire only when a test says so.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex/platform/Platform.hpp"

namespace orvex::updater_test {

using Bytes = std::vector<std::uint8_t>;

class RecordingPeripheral : public platform::Peripheral {
public:
    std::vector<Bytes> writes;
    std::optional<std::string> name() const override { return "KX-BT4 test"; }
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate>) override {}
    void discoverServices(const std::vector<platform::Uuid>&) override {}
    void discoverCharacteristics(const std::vector<platform::Uuid>&,
                                 const std::shared_ptr<platform::Service>&) override {}
    void setNotifyValue(bool, const std::shared_ptr<platform::Characteristic>&) override {}
    void writeValue(const Bytes& data, const std::shared_ptr<platform::Characteristic>&,
                    platform::WriteType) override {
        writes.push_back(data);
    }
};

class PlainCharacteristic : public platform::Characteristic {
public:
    platform::Uuid uuid() const override { return platform::Uuid("FFE1"); }
};

class ManualTimer : public platform::Timer {
public:
    ManualTimer(double seconds, std::function<void()> action)
        : seconds(seconds), action(std::move(action)) {}
    void invalidate() override { valid = false; }
    double seconds;
    std::function<void()> action;
    bool valid = true;
};

class ManualPlatform : public platform::Platform {
public:
    struct Queue : platform::Executor {
        std::vector<std::function<void()>> blocks;
        void post(std::function<void()> block) override { blocks.push_back(std::move(block)); }
    };

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate>) override {
        return nullptr;
    }
    platform::Executor& linkQueue() override { return link; }
    platform::Executor& mainExecutor() override { return main; }
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool,
                                                   std::function<void()> action) override {
        auto timer = std::make_shared<ManualTimer>(seconds, std::move(action));
        timers.push_back(timer);
        return timer;
    }
    double now() const override { return 0.0; }
    std::optional<Bytes> microAppImage() override { return std::nullopt; }

    // Timers that are still armed.
    std::vector<std::shared_ptr<ManualTimer>> armed() const {
        std::vector<std::shared_ptr<ManualTimer>> out;
        for (const auto& t : timers) {
            if (t->valid) out.push_back(t);
        }
        return out;
    }
    // Fires every armed timer once, as if its time had come.
    void fireAll() {
        for (const auto& t : armed()) {
            t->valid = false;
            t->action();
        }
    }

    Queue link;
    Queue main;
    std::vector<std::shared_ptr<ManualTimer>> timers;
};

}  // namespace orvex::updater_test
