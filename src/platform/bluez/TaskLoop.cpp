// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/TaskLoop.hpp"

#include "reader/Logging.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <vector>

namespace orvex::detail {

namespace {

using Clock = std::chrono::steady_clock;

// The loop's backstop: a task or timer action that throws is reported and the loop goes on
// with the next one, rather than ending the process from a thread nobody can catch on.
template <class F>
void runGuarded(F& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        log(LogLevel::error, "a task of the BlueZ task loop failed: {}", e.what());
    } catch (...) {
        logText(LogLevel::error, "a task of the BlueZ task loop failed");
    }
}

struct TimerEntry {
    std::atomic<bool> cancelled{false};
    std::function<void()> action;
    bool repeats = false;
    Clock::duration interval{};
};

class TimerHandle : public platform::Timer {
public:
    explicit TimerHandle(std::weak_ptr<TimerEntry> entry) : entry_(std::move(entry)) {}
    void invalidate() override {
        if (auto e = entry_.lock()) e->cancelled = true;
    }

private:
    std::weak_ptr<TimerEntry> entry_;
};

}  // namespace

struct TaskLoop::State {
    std::string name;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::deque<std::function<void()>> tasks;
    std::multimap<Clock::time_point, std::shared_ptr<TimerEntry>> timers;
    std::atomic<std::thread::id> worker{};
    std::atomic<bool> finished{false};

    void run() {
        worker = std::this_thread::get_id();
        // Named for profilers, top and debuggers (the kernel keeps 15 characters).
        ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
        std::unique_lock lock(mutex);
        while (!stopping) {
            // Drop invalidated timers so they wake nobody.
            // They are released outside the lock: an action may hold what another thread
            // holds a lock of its own on while it posts to this loop.
            if (!timers.empty() && timers.begin()->second->cancelled) {
                std::vector<std::shared_ptr<TimerEntry>> dropped;
                while (!timers.empty() && timers.begin()->second->cancelled) {
                    dropped.push_back(std::move(timers.begin()->second));
                    timers.erase(timers.begin());
                }
                lock.unlock();
                dropped.clear();
                lock.lock();
                continue;
            }
            const auto now = Clock::now();
            if (!timers.empty() && timers.begin()->first <= now) {
                auto node = timers.extract(timers.begin());
                auto entry = node.mapped();
                if (entry->repeats) {
                    node.key() += entry->interval;
                    timers.insert(std::move(node));
                }
                lock.unlock();
                if (!entry->cancelled) runGuarded(entry->action);
                // A one-shot timer is released here, outside the lock, like a task.
                node = decltype(node){};
                entry.reset();
                lock.lock();
                continue;
            }
            if (!tasks.empty()) {
                auto task = std::move(tasks.front());
                tasks.pop_front();
                lock.unlock();
                runGuarded(task);
                task = nullptr;  // whatever the block held is released outside the lock
                lock.lock();
                continue;
            }
            if (timers.empty()) {
                wake.wait(lock);
            } else {
                wake.wait_until(lock, timers.begin()->first);
            }
        }
        // Whatever is left is released by the owner (or here, when the owner is gone).
        auto left = std::move(tasks);
        auto leftTimers = std::move(timers);
        lock.unlock();
        left.clear();
        leftTimers.clear();
        finished = true;
    }
};

namespace {

// A loop released on its own thread cannot join that thread. The thread is handed over
// here instead: finished ones are joined as new ones arrive, and the rest when the
// process exits, so no loop thread outlives the libraries' own static objects (the
// D-Bus library keeps one that its messages use).
class Orphans {
public:
    ~Orphans() {
        std::vector<Entry> entries;
        {
            std::lock_guard lock(mutex_);
            entries.swap(entries_);
        }
        for (auto& e : entries) {
            if (e.thread.joinable()) e.thread.join();
        }
    }

    void adopt(std::thread thread, std::shared_ptr<const std::atomic<bool>> finished) {
        std::vector<Entry> done;
        {
            std::lock_guard lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end();) {
                if (*it->finished) {
                    done.push_back(std::move(*it));
                    it = entries_.erase(it);
                } else {
                    ++it;
                }
            }
            entries_.push_back({std::move(thread), std::move(finished)});
        }
        for (auto& e : done) {
            if (e.thread.joinable()) e.thread.join();
        }
    }

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<const std::atomic<bool>> finished;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

Orphans& orphans() {
    static Orphans instance;
    return instance;
}

}  // namespace

TaskLoop::TaskLoop(std::string name) : state_(std::make_shared<State>()) {
    state_->name = std::move(name);
    worker_ = std::thread([state = state_] { state->run(); });
}

TaskLoop::~TaskLoop() {
    stop();
    if (worker_.get_id() == std::this_thread::get_id()) {
        orphans().adopt(std::move(worker_),
                        std::shared_ptr<const std::atomic<bool>>(state_, &state_->finished));
    }
}

void TaskLoop::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void TaskLoop::post(std::function<void()> block) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) return;
        state_->tasks.push_back(std::move(block));
    }
    state_->wake.notify_one();
}

std::shared_ptr<platform::Timer> TaskLoop::schedule(Clock::duration interval, bool repeats,
                                                    std::function<void()> action) {
    auto entry = std::make_shared<TimerEntry>();
    entry->action = std::move(action);
    entry->repeats = repeats && interval > Clock::duration::zero();
    entry->interval = interval;
    auto handle = std::make_shared<TimerHandle>(entry);
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->stopping) state_->timers.emplace(Clock::now() + interval, std::move(entry));
    }
    state_->wake.notify_one();
    return handle;
}

bool TaskLoop::isCurrent() const {
    return state_->worker.load() == std::this_thread::get_id();
}

}  // namespace orvex::detail
