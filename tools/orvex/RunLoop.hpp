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

// One thread for everything the peripheral does: the D-Bus connection, the simulated
// reader's timers and posts, and the file descriptors it watches (its terminal, signals).
// sd-bus is not thread-safe and bluetoothd calls back into the application while its own
// registration calls are pending, so every call goes out asynchronously from this thread.

namespace orvex::cli {

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
    // Loop thread: calls `readable` whenever `fd` can be read, until unwatch(fd).
    void watch(int fd, std::function<void()> readable);
    void unwatch(int fd);
    // The connection whose messages the loop dispatches.
    void attach(sdbus::IConnection& connection) { bus_ = &connection; }
    void detach() { bus_ = nullptr; }

    // Runs until stop(); false when the bus connection broke.
    bool run();
    // Runs until `done()` holds or `seconds` pass; false when time ran out.
    bool runUntil(const std::function<bool()>& done, double seconds);
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
    std::map<int, std::function<void()>> watched_;
};

}  // namespace orvex::cli
