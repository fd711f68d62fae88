// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvex/ReaderInterface.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

// A link and a simulated reader on one simulated platform in virtual time, with a delegate
// that writes down everything the host is told.

namespace orvex::e2e {

std::string name(OrvexBluetoothError e);
std::string name(OrvexConnectionError e);
std::string name(OrvexDisconnectionCause e);
std::string name(OrvexContactStatus e);
std::string name(OrvexDeviceUpdateStatus e);

// One scanReceived or exportReceived call.
struct Reading {
    std::optional<ScanResult> result;
    bool contactPending = false;  // scanReceived only
    long number = 0;              // exportReceived only
    std::string id() const;       // transponder id, or "none"
    int type() const;             // transponder type, or -1
    std::string contact() const;  // "phone|e-mail", or "none"
};

// Writes every delegate call down as one line ("version KX100-M 2.4.1", "battery 89", ...);
// bleDetected calls are kept apart. Safe to read from the test while the link runs.
class RecordingDelegate : public ReaderInterfaceDelegate {
public:
    void btReader() override;
    void btError(OrvexBluetoothError reason) override;
    void bleDetected(const std::string& prefix, const std::string& deviceName) override;
    void connecting() override;
    void connectionFailed(OrvexConnectionError error) override;
    void readerConnected() override;
    void readerDisconnected(OrvexDisconnectionCause cause) override;
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override;
    void readerScanning(bool active) override;
    void exportReceived(std::optional<ScanResult> result, long number) override;
    void scanFailed() override;
    void version(const std::string& text) override;
    void battery(long level) override;
    void startUpdate(long slices) override;
    void updateStatus(long slice) override;
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override;

    // Lines written by the contact-write completions handed out by completion().
    std::function<void(bool, OrvexContactStatus)> completion();

    std::vector<std::string> events() const;
    std::vector<std::string> detected() const;
    std::vector<Reading> scans() const;
    std::vector<Reading> exports() const;
    // How many lines equal `line` / start with `prefix`.
    std::size_t count(const std::string& line) const;
    std::size_t countPrefix(const std::string& prefix) const;
    // The lines from index `from` on.
    std::vector<std::string> eventsFrom(std::size_t from) const;
    void clear();

private:
    void add(std::string line);

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<std::string> detected_;
    std::vector<Reading> scans_;
    std::vector<Reading> exports_;
};

class Session {
public:
    explicit Session(sim::SimReaderConfig config = {}, bool nearbyPeripherals = true,
                     sim::Clock clock = sim::Clock::virtualTime);
    ~Session();

    // Advances virtual time in small steps (in real time: waits) until `done` holds or
    // `maxSeconds` have passed; returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, double maxSeconds);
    void run(double seconds);

    // Powers the link up and connects; returns once the battery level of the first
    // exchange has been reported (false when that did not happen within `maxSeconds`).
    bool connect(double maxSeconds = 60.0);

    sim::SimPlatform& platform() { return *platform_; }
    sim::SimReader& reader() { return *reader_; }
    ReaderInterface& link() { return *link_; }
    RecordingDelegate& host() { return *delegate_; }
    double now() const { return platform_->now(); }

private:
    sim::Clock clock_;
    std::shared_ptr<sim::SimPlatform> platform_;
    std::shared_ptr<sim::SimReader> reader_;
    std::shared_ptr<RecordingDelegate> delegate_;
    std::unique_ptr<ReaderInterface> link_;
};

// An image of `size` bytes in which FE bytes and the FE 00 / FE 01 patterns turn up in the
// head and all over the body.
std::vector<std::uint8_t> testImage(std::size_t size);

}  // namespace orvex::e2e
