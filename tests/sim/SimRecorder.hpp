// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "orvex/sim/SimPlatform.hpp"

// A central and peripheral delegate, and a request observer, that write what they see as
// short lines into one shared log, in the order it happens.

namespace orvex::sim::testing {

inline std::string hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (auto b : bytes) {
        if (!out.empty()) out.push_back(' ');
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

inline std::string nameOf(const std::shared_ptr<platform::Peripheral>& p) {
    auto n = p->name();
    return n ? *n : "-";
}

inline std::string uuids(const std::vector<Uuid>& list) {
    std::string out;
    for (const auto& u : list) out += (out.empty() ? "" : " ") + u.str();
    return out;
}

struct Log {
    std::vector<std::string> lines;
    void add(std::string line) { lines.push_back(std::move(line)); }
    std::vector<std::string> take() { return std::exchange(lines, {}); }
};

class RecordingDelegate : public platform::CentralManagerDelegate,
                          public platform::PeripheralDelegate {
public:
    explicit RecordingDelegate(Log& log) : log_(log) {}

    std::vector<std::shared_ptr<platform::Peripheral>> discovered;
    std::vector<std::shared_ptr<platform::Service>> services;
    std::vector<std::shared_ptr<platform::Characteristic>> characteristics;
    std::vector<std::shared_ptr<platform::Characteristic>> valueSources;

    void centralManagerDidUpdateState(ManagerState state) override {
        log_.add("state " + std::to_string(static_cast<int>(state)));
    }
    void didDiscover(const std::shared_ptr<platform::Peripheral>& p) override {
        discovered.push_back(p);
        log_.add("didDiscover " + nameOf(p));
    }
    void didConnect(const std::shared_ptr<platform::Peripheral>& p) override {
        log_.add("didConnect " + nameOf(p));
    }
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>& p) override {
        log_.add("didFailToConnect " + nameOf(p));
    }
    void didDisconnect(const std::shared_ptr<platform::Peripheral>& p) override {
        log_.add("didDisconnect " + nameOf(p));
    }
    void didDiscoverServices(const std::shared_ptr<platform::Peripheral>&,
                             const std::optional<platform::ServiceList>& list,
                             bool error) override {
        std::string line = "services";
        if (!list) {
            line += " none";
        } else {
            for (const auto& s : *list) {
                services.push_back(s);
                line += " " + s->uuid().str();
            }
        }
        if (error) line += " error";
        log_.add(line);
    }
    void didDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>&,
                                    const std::shared_ptr<platform::Service>& service,
                                    const std::optional<platform::CharacteristicList>& list,
                                    bool error) override {
        std::string line = "characteristics " + service->uuid().str() + ":";
        if (!list) {
            line += " none";
        } else {
            for (const auto& c : *list) {
                characteristics.push_back(c);
                line += " " + c->uuid().str();
            }
        }
        if (error) line += " error";
        log_.add(line);
    }
    void didUpdateValue(const std::shared_ptr<platform::Peripheral>&,
                        const std::shared_ptr<platform::Characteristic>& c,
                        const Bytes& value) override {
        valueSources.push_back(c);
        log_.add("value " + c->uuid().str() + " " + hex(value));
    }

private:
    Log& log_;
};

class RecordingObserver : public SimObserver {
public:
    explicit RecordingObserver(Log& log) : log_(log) {}

    void onCentralCreate() override { log_.add("> create"); }
    void onScanForPeripherals() override { log_.add("> scan"); }
    void onStopScan() override { log_.add("> stopScan"); }
    void onConnect(const std::shared_ptr<platform::Peripheral>& p) override {
        log_.add("> connect " + nameOf(p));
    }
    void onCancelConnection(const std::shared_ptr<platform::Peripheral>& p) override {
        log_.add("> cancel " + nameOf(p));
    }
    void onDiscoverServices(const std::shared_ptr<platform::Peripheral>&,
                            const std::vector<Uuid>& list) override {
        log_.add("> discoverServices " + uuids(list));
    }
    void onDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>&,
                                   const Uuid& service, const std::vector<Uuid>& list) override {
        log_.add("> discoverCharacteristics " + service.str() + ": " + uuids(list));
    }
    void onSetNotifyValue(const std::shared_ptr<platform::Peripheral>&, bool enabled,
                          const Uuid& c) override {
        log_.add(std::string("> notify ") + (enabled ? "on " : "off ") + c.str());
    }
    void onWrite(const std::shared_ptr<platform::Peripheral>&, const Bytes& bytes, const Uuid& c,
                 WriteType type) override {
        log_.add("> write " + c.str() +
                 (type == WriteType::withResponse ? " withResponse " : " withoutResponse ") +
                 hex(bytes));
    }

private:
    Log& log_;
};

}  // namespace orvex::sim::testing
