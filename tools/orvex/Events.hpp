// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

// The link's callbacks turned into events that a command waits for, one at a time, on its
// own thread.

namespace orvex::cli {

struct Event {
    enum class Kind {
        btReady,           // btReader()
        btError,           // code: OrvexBluetoothError
        detected,          // bleDetected(): text = prefix, detail = device name
        connecting,        // connecting()
        connectionFailed,  // code: OrvexConnectionError
        connected,         // readerConnected()
        disconnected,      // code: OrvexDisconnectionCause
        reading,           // scanReceived(): result, flag = contactPending
        scanning,          // readerScanning(): flag = active
        exportRecord,      // exportReceived(): result, code = number
        scanFailed,        // scanFailed()
        version,           // version(): text
        battery,           // battery(): code = level
        updateStarted,     // startUpdate(): code = slices
        sliceAccepted,     // updateStatus(): code = slice
        updateEnded,       // endUpdate(): code = OrvexDeviceUpdateStatus
        contactWritten,    // writeContact() completion: flag = success, code = status
    };

    explicit Event(Kind k = Kind::btReady) : kind(k) {}

    Kind kind;
    long code = 0;
    bool flag = false;
    std::string text;
    std::string detail;
    std::optional<ScanResult> result;
};

inline bool is(const Event& event, Event::Kind kind) {
    return event.kind == kind;
}

// A thread-safe queue of events. Waiting is bounded and ends early when the process is
// asked to stop (see interruptRequested()).
class EventQueue {
public:
    void push(Event event);
    // The next event, or nothing when `deadline` passed or (if `interruptible`) an
    // interruption was requested.
    std::optional<Event> next(std::chrono::steady_clock::time_point deadline,
                              bool interruptible = true);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;
};

// The delegate that feeds a queue. Every callback only records an event.
class EventDelegate : public ReaderInterfaceDelegate {
public:
    explicit EventDelegate(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}

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

    // A completion for ReaderInterface::writeContact() that records a contactWritten event.
    std::function<void(bool, OrvexContactStatus)> contactCompletion();

private:
    std::shared_ptr<EventQueue> queue_;
};

// SIGINT and SIGTERM set a flag that every wait notices within a fraction of a second; a
// second signal ends the process at once.
void installInterruptHandlers();
bool interruptRequested();

}  // namespace orvex::cli
