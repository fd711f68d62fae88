// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/platform/Platform.hpp"
#include "reader/Link.hpp"

// A reader link on a platform that costs next to nothing: posted blocks run when the
// benchmark drains the queue, timers fire only when the benchmark fires them, writes go
// nowhere and the delegate only counts. What a benchmark measures through it is the
// link's own work per notification.

namespace orvex::bench {

using Bytes = std::vector<std::uint8_t>;

// A timer fired by hand; a repeating one stays armed.
class ManualTimer : public platform::Timer {
public:
    explicit ManualTimer(std::function<void()> action, bool repeats)
        : action_(std::move(action)), repeats_(repeats) {}
    void invalidate() override { armed_ = false; }
    bool armed() const { return armed_; }
    bool repeats() const { return repeats_; }
    void fire() {
        if (!armed_) return;
        if (!repeats_) armed_ = false;
        action_();
    }

private:
    std::function<void()> action_;
    bool repeats_;
    bool armed_ = true;
};

// Counts the reports the link makes, and nothing else.
class CountingDelegate : public ReaderInterfaceDelegate {
public:
    long reports = 0;
    long contacts = 0;

    void btError(OrvexBluetoothError) override { ++reports; }
    void connecting() override { ++reports; }
    void connectionFailed(OrvexConnectionError) override { ++reports; }
    void readerConnected() override { ++reports; }
    void readerDisconnected(OrvexDisconnectionCause) override { ++reports; }
    void scanReceived(std::optional<ScanResult> result, bool) override {
        ++reports;
        if (result && result->contact) ++contacts;
    }
    void readerScanning(bool) override { ++reports; }
    void exportReceived(std::optional<ScanResult>, long) override { ++reports; }
    void scanFailed() override { ++reports; }
    void version(const std::string&) override { ++reports; }
    void battery(long) override { ++reports; }
    void updateStatus(long) override { ++reports; }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus>) override { ++reports; }
};

class BenchPlatform;

// A link taken through discovery, connection and the first exchanges, idle and connected.
// Given a micro-app image, the reader asks for it instead in the micro-app check: the link
// is left uploading, waiting for the reader to lock.
class BenchLink {
public:
    explicit BenchLink(std::optional<Bytes> microAppImage = std::nullopt);
    ~BenchLink();
    BenchLink(const BenchLink&) = delete;
    BenchLink& operator=(const BenchLink&) = delete;

    // One notification from the reader, handled at once.
    void notify(const Bytes& value);
    // Fires the link's watchdog once.
    void tick();
    // Runs the blocks posted to the link queue.
    void drain();
    // Bytes the link has written so far.
    std::size_t bytesWritten() const;

    detail::Link& link() { return *link_; }
    CountingDelegate& delegate() { return *delegate_; }

private:
    std::shared_ptr<BenchPlatform> platform_;
    std::shared_ptr<CountingDelegate> delegate_;
    std::shared_ptr<detail::Link> link_;
};

}  // namespace orvex::bench
