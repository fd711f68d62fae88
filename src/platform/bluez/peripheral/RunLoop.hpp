// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <orvex/platform/Platform.hpp>

namespace sdbus {
class IConnection;
}

// One thread for everything a served peripheral does: the D-Bus connection, the simulated
// reader's timers and posts. sd-bus is not thread-safe and bluetoothd calls back into the
// application while its own registration calls are pending, so every call goes out
// asynchronously from this thread.

namespace orvex::detail::bluez {

class RunLoop {
public:
    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Any thread: runs `action` on the loop after everything posted before it.
    void post(std::function<void()> action);
    // Runs `action` on the loop after `seconds`.
    std::shared_ptr<platform::Timer> schedule(double seconds, std::function<void()> action);
    // The connection whose messages the loop dispatches.
    void attach(sdbus::IConnection& connection) { bus_ = &connection; }
    void detach() { bus_ = nullptr; }

    // Runs until stop(); false when the bus connection broke.
    bool run();
    // Runs until `done()` holds or `seconds` pass; false when time ran out.
    bool runUntil(const std::function<bool()>& done, double seconds);
    // Loop thread.
    void stop() { stopping_ = true; }
    double now() const;

private:
    struct Timer;
    bool turn(std::chrono::steady_clock::time_point deadline);

    int wakeFd_ = -1;
    sdbus::IConnection* bus_ = nullptr;
    bool stopping_ = false;
    bool broken_ = false;
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
    std::multimap<std::chrono::steady_clock::time_point, std::shared_ptr<Timer>> timers_;
};

}  // namespace orvex::detail::bluez
