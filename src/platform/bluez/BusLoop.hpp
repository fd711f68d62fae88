// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sdbus-c++/IConnection.h>

namespace orvex::detail {

// Runs the event loop of one sdbus-c++ connection on its own thread.
//
// sdbus-c++'s own loop thread throws out of the thread (and ends the process) when the bus
// goes away; this loop catches that, calls `onClosed` once and ends. Calls and signals
// issued from other threads should be followed by wake(), so the loop picks up new
// timeouts and queued output at once. A blocking call made on another thread reads the
// socket itself, and what it reads besides its reply stays queued inside sd-bus where
// poll() cannot see it: the wake after it gets that dispatched without waiting for more
// traffic.
class BusLoop {
public:
    // `name` names the loop's thread (for profilers and debuggers; 15 characters are kept).
    explicit BusLoop(sdbus::IConnection& connection, std::string name = "orvex-bus");
    ~BusLoop();  // stops the loop (bounded: the loop never blocks on anything but poll)
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    // Starts the loop thread; `onClosed` runs on it once if the connection breaks.
    void start(std::function<void()> onClosed);
    void stop();
    void wake();
    // After sending from another thread: wakes the loop only when what it sleeps on no
    // longer covers the connection, that is when output is left queued, read messages wait
    // to be dispatched, or a call's timeout falls before the time the loop sleeps until.
    // A call sent while other calls of earlier timeouts are pending, or a reply or signal
    // that was written whole, spare the loop thread a wake-up (and, on a busy machine, the
    // CPU time the peer needs at that very moment).
    void wakeIfNeeded();
    // While the returned lock is held the loop dispatches nothing (it finishes what it is
    // dispatching first): for changes to registered objects that callers on the bus must see
    // whole, such as an object registered anew. Not on the loop thread; wake() after.
    std::unique_lock<std::mutex> holdDispatch() { return std::unique_lock(dispatchMutex_); }
    bool isClosed() const { return closed_.load(); }
    bool isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

private:
    void run();

    sdbus::IConnection& connection_;
    std::string name_;
    int wakeFd_ = -1;
    std::mutex dispatchMutex_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closed_{false};
    // The absolute CLOCK_MONOTONIC time (us) the loop sleeps until, UINT64_MAX for no
    // timeout; 0 while it works out its next sleep (a sender must wake it then).
    std::atomic<std::uint64_t> sleepsUntil_{0};
    std::function<void()> onClosed_;
    std::thread thread_;
};

}  // namespace orvex::detail
