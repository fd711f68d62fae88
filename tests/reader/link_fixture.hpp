// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "reader/Link.hpp"

// A link on the simulated platform with a delegate that records each call as a short line,
// together with the thread it was made on.

namespace orvex::linktest {

class RecordingDelegate : public ReaderInterfaceDelegate {
public:
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

    void btReader() override { add("btReader"); }
    void btError(OrvexBluetoothError reason) override {
        add("btError " + std::to_string(static_cast<int>(reason)));
    }
    void bleDetected(const std::string& prefix, const std::string& deviceName) override {
        if (!prefix.empty()) add("bleDetected " + deviceName);
    }
    void connecting() override { add("connecting"); }
    void connectionFailed(OrvexConnectionError error) override {
        add("connectionFailed " + std::to_string(static_cast<int>(error)));
    }
    void readerConnected() override { add("readerConnected"); }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        add("readerDisconnected " + std::to_string(static_cast<int>(cause)));
    }
    void scanReceived(std::optional<ScanResult>, bool contactPending) override {
        add(std::string("scanReceived ") + (contactPending ? "true" : "false"));
    }
    void readerScanning(bool active) override {
        add(std::string("readerScanning ") + (active ? "true" : "false"));
    }
    void exportReceived(std::optional<ScanResult>, long number) override {
        add("exportReceived " + std::to_string(number));
    }
    void scanFailed() override { add("scanFailed"); }
    void version(const std::string& text) override { add("version " + text); }
    void battery(long level) override { add("battery " + std::to_string(level)); }

protected:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        threads_.push_back(std::this_thread::get_id());
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::thread::id> threads_;
};

// Collects every write the link makes.
class WriteLog : public sim::SimObserver {
public:
    void onWrite(const std::shared_ptr<platform::Peripheral>&, const sim::Bytes& bytes,
                 const sim::Uuid&, sim::WriteType) override {
        std::lock_guard lock(mutex_);
        writes_.push_back(bytes);
    }
    void onCancelConnection(const std::shared_ptr<platform::Peripheral>&) override {
        std::lock_guard lock(mutex_);
        ++cancels_;
    }
    void onStopScan() override {
        std::lock_guard lock(mutex_);
        ++stopScans_;
    }
    std::vector<sim::Bytes> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    int cancels() const {
        std::lock_guard lock(mutex_);
        return cancels_;
    }
    int stopScans() const {
        std::lock_guard lock(mutex_);
        return stopScans_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<sim::Bytes> writes_;
    int cancels_ = 0;
    int stopScans_ = 0;
};

// Takes a link on `platform` from initializeBluetooth() to a reader that has answered the
// handshake and is waiting for the version (virtual time).
inline void connectScripted(sim::SimPlatform& platform, detail::Link& link,
                            const std::string& name = "KX-BT4 0001") {
    link.initializeBluetooth();
    platform.runUntilIdle();
    link.connectToReader();
    platform.runUntilIdle();
    platform.discover(platform.addPeripheral(name));
    platform.runUntilIdle();
    platform.completeConnect(true);
    platform.runUntilIdle();
    platform.reportServices(std::vector<sim::Uuid>{sim::Uuid("FFE0")});
    platform.runUntilIdle();
    platform.reportCharacteristics(sim::Uuid("FFE0"), std::vector<sim::Uuid>{sim::Uuid("FFE1")});
    platform.runUntilIdle();
    platform.notify({0x80});
    platform.runUntilIdle();
}

}  // namespace orvex::linktest
