// SPDX-License-Identifier: Apache-2.0
#include "EventLoop.hpp"

#include <vector>

namespace orvex::bridge {

// post() and stop() wake the loop while they still hold its lock: the loop may return and
// be destroyed as soon as it sees their change, and a wake after the unlock would then touch
// a condition variable that is gone.
void EventLoop::post(Task task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_one();
}

EventLoop::TimerId EventLoop::after(double seconds, Task task) {
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    std::lock_guard lock(mutex_);
    const TimerId id = nextTimer_++;
    timers_.emplace(due, std::make_pair(id, std::move(task)));
    return id;
}

void EventLoop::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.first == id) {
            timers_.erase(it);
            return;
        }
    }
}

void EventLoop::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    wake_.notify_one();
}

void EventLoop::run(const Task& afterBatch) {
    std::vector<Task> batch;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (stopped_) return;
                const auto now = Clock::now();
                while (!timers_.empty() && timers_.begin()->first <= now) {
                    batch.push_back(std::move(timers_.begin()->second.second));
                    timers_.erase(timers_.begin());
                }
                while (!tasks_.empty()) {
                    batch.push_back(std::move(tasks_.front()));
                    tasks_.pop_front();
                }
                if (!batch.empty()) break;
                if (timers_.empty()) {
                    wake_.wait(lock);
                } else {
                    wake_.wait_until(lock, timers_.begin()->first);
                }
            }
        }
        // A batch is always finished, so that what it spooled is committed by afterBatch.
        for (auto& task : batch) task();
        batch.clear();
        if (afterBatch) afterBatch();
    }
}

}  // namespace orvex::bridge
