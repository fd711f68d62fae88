// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

// The bridge's one serial context: every callback of the MQTT connection and of the
// readers is posted here, so the bridge's state is touched by one thread only.

namespace orvex::bridge {

class EventLoop {
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    // Runs `task` on the loop, after everything posted before it. Any thread.
    void post(Task task);
    // Runs `task` on the loop after `seconds`. Loop thread only (like cancel()).
    TimerId after(double seconds, Task task);
    void cancel(TimerId id);
    // Makes run() return once the batch in hand is done. Any thread.
    void stop();

    // Runs posted tasks and due timers until stop(). After each batch (everything that was
    // waiting when the loop woke) it calls `afterBatch`.
    void run(const Task& afterBatch);

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::multimap<Clock::time_point, std::pair<TimerId, Task>> timers_;
    TimerId nextTimer_ = 1;
    bool stopped_ = false;
};

}  // namespace orvex::bridge
