// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BridgeConfig.hpp"
#include "EventLoop.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

namespace orvex::sim {
class SimPlatform;
class SimReader;
}  // namespace orvex::sim

// The bridge's side of one reader: the link, its delegate and, with --sim, the simulated
// reader and what it does on its own. It keeps the link up: after a failed connection or
// a disconnection it connects again after a growing pause. What the reader reports reaches
// the bridge as ReaderEvents on the event loop.

namespace orvex::bridge {

struct ReaderEvent {
    enum class Kind {
        connecting,
        connected,
        disconnected,      // text: why
        connectionFailed,  // text: why
        bluetoothError,    // text: why
        version,           // text
        battery,           // number
        reading,           // result (complete: its contact read, if any)
        scanFailed,
        exportRecord,      // result (absent when unreadable), number, time
        updateStarted,
        updateEnded,       // text: outcome name
        contactWritten,    // ok, contactStatus
    };
    explicit ReaderEvent(Kind k, std::optional<ScanResult> r = std::nullopt)
        : kind(k), result(std::move(r)) {}
    Kind kind;
    std::optional<ScanResult> result;
    long number = -1;
    double time = 0.0;
    std::string text;
    bool ok = false;
    OrvexContactStatus contactStatus = OrvexContactStatus::success;
};

class ReaderLink {
public:
    using Listener = std::function<void(const ReaderEvent&)>;

    // Sets up the link for `wanted` (and the simulated reader with config.sim). Calls
    // `listener` on `loop`. Nothing, with a one-line reason in `error`, when it cannot be
    // made (no Bluetooth, or several readers before this build can link them apart).
    static std::unique_ptr<ReaderLink> open(const BridgeConfig& config, const ReaderSpec& wanted,
                                            EventLoop& loop, Listener listener,
                                            std::string& error);
    ~ReaderLink();
    ReaderLink(const ReaderLink&) = delete;
    ReaderLink& operator=(const ReaderLink&) = delete;

    // Loop thread only, from here on.
    void start();
    bool isConnected() const { return connected_; }
    // Connected and through the setup (version, micro-app check, battery): ready for
    // commands.
    bool isReady() const { return ready_; }
    void scan();
    void writeContact(const std::string& email, const std::string& phone, const std::string& tag);
    // Asks the simulated reader to export its stored readings; false for a real reader,
    // which starts exports from its own button.
    bool exportReadings();
    // Disconnects and stops the platform's threads; no event follows.
    void stop();

private:
    class Delegate;
    ReaderLink(const BridgeConfig& config, EventLoop& loop, Listener listener);
    void handle(const ReaderEvent& event);
    void reconnectLater();
    void scheduleSimActions();
    void scheduleTrigger();
    void scheduleExport();

    const BridgeConfig& config_;
    EventLoop& loop_;
    Listener listener_;
    std::shared_ptr<Delegate> delegate_;
    ReaderInterface* reader_ = nullptr;
    std::shared_ptr<sim::SimPlatform> simPlatform_;
    std::shared_ptr<sim::SimReader> simReader_;
    bool connected_ = false;
    bool ready_ = false;
    bool stopped_ = false;
    double backoff_;
    EventLoop::TimerId reconnectTimer_ = 0;
    EventLoop::TimerId triggerTimer_ = 0;
    EventLoop::TimerId exportTimer_ = 0;
};

}  // namespace orvex::bridge
