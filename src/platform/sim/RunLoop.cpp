// SPDX-License-Identifier: Apache-2.0
#include "platform/sim/RunLoop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace orvex::sim {

namespace {

using Ticks = std::int64_t;  // nanoseconds
using Action = std::shared_ptr<std::function<void()>>;

// Shortest interval of a repeating timer, so that a zero interval cannot spin the loop.
constexpr Ticks kMinRepeatInterval = 100'000;
// Longest delay accepted (about 30 years); longer ones are cut to it.
constexpr double kMaxSeconds = 1e9;

Ticks toTicks(double seconds) {
    if (!(seconds > 0)) return 0;  // also NaN
    return std::llround(std::min(seconds, kMaxSeconds) * 1e9);
}

struct Key {
    Ticks due;
    std::uint64_t order;
    friend auto operator<=>(const Key&, const Key&) = default;
};

}  // namespace

struct TimerState;

struct RunLoop::Core {
    explicit Core(Clock c) : clock(c), start(std::chrono::steady_clock::now()) {}

    const Clock clock;
    const std::chrono::steady_clock::time_point start;

    mutable std::mutex m;
    std::condition_variable wake;
    std::deque<std::function<void()>> posted;
    std::map<Key, std::shared_ptr<TimerState>> timers;
    std::uint64_t nextOrder = 0;
    Ticks virtualNow = 0;
    bool stopped = false;
    bool running = false;  // a thread is inside the loop
    std::thread::id loopThread;

    // Caller holds `m` in virtual time (the clock is guarded by it).
    Ticks ticksLocked() const {
        if (clock == Clock::virtualTime) return virtualNow;
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    }

    bool runOnePosted();
    bool fireOneTimer(Ticks limit);
    void threadMain();
};

struct TimerState {
    std::weak_ptr<RunLoop::Core> core;
    // Guarded by core->m.
    Action action;
    std::optional<Key> key;  // position in core->timers while armed
    Ticks armedAt = 0;
    Ticks interval = 0;
    bool repeats = false;
    std::uint64_t firings = 0;
};

namespace {

class LoopTimer : public platform::Timer {
public:
    explicit LoopTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    ~LoopTimer() override = default;

    void invalidate() override {
        auto core = state_->core.lock();
        if (!core) return;
        Action dropped;
        std::shared_ptr<TimerState> entry;
        {
            std::lock_guard lock(core->m);
            if (state_->key) {
                auto it = core->timers.find(*state_->key);
                if (it != core->timers.end()) {
                    entry = std::move(it->second);
                    core->timers.erase(it);
                }
                state_->key.reset();
            }
            dropped = std::move(state_->action);
        }
        // `dropped` and `entry` are released here, outside the lock: the action may hold
        // objects whose destructors post.
    }

private:
    std::shared_ptr<TimerState> state_;
};

}  // namespace

bool RunLoop::Core::runOnePosted() {
    std::function<void()> block;
    {
        std::lock_guard lock(m);
        if (stopped || posted.empty()) return false;
        block = std::move(posted.front());
        posted.pop_front();
    }
    block();
    return true;
}

bool RunLoop::Core::fireOneTimer(Ticks limit) {
    std::shared_ptr<TimerState> state;
    Action action;
    {
        std::lock_guard lock(m);
        if (stopped || timers.empty()) return false;
        auto it = timers.begin();
        const Key key = it->first;
        if (key.due > limit) return false;
        state = std::move(it->second);
        timers.erase(it);
        if (clock == Clock::virtualTime) virtualNow = std::max(virtualNow, key.due);
        action = state->action;
        if (state->repeats && action) {
            // Scheduled anew as it fires: T+I, T+2I, ... A real-time loop that fell behind
            // skips the firings it missed.
            auto nextDue = [&] {
                return state->armedAt + static_cast<Ticks>(state->firings + 1) * state->interval;
            };
            ++state->firings;
            if (clock == Clock::realTime) {
                const Ticks now = ticksLocked();
                while (nextDue() <= now) ++state->firings;
            }
            const Key next{nextDue(), nextOrder++};
            timers.emplace(next, state);
            state->key = next;
        } else {
            state->key.reset();
            state->action.reset();
        }
    }
    if (action) (*action)();
    return true;
}

void RunLoop::Core::threadMain() {
    std::unique_lock lock(m);
    loopThread = std::this_thread::get_id();
    running = true;
    while (!stopped) {
        if (!posted.empty()) {
            auto block = std::move(posted.front());
            posted.pop_front();
            lock.unlock();
            block();
            block = nullptr;
            lock.lock();
            continue;
        }
        if (!timers.empty()) {
            const Ticks due = timers.begin()->first.due;
            const Ticks now = ticksLocked();
            if (due <= now) {
                lock.unlock();
                fireOneTimer(now);
                lock.lock();
                continue;
            }
            wake.wait_until(lock, start + std::chrono::nanoseconds(due));
            continue;
        }
        wake.wait(lock);
    }
    running = false;
}

RunLoop::RunLoop(Clock clock) : clock_(clock), core_(std::make_shared<Core>(clock)) {
    if (clock_ == Clock::realTime) {
        thread_ = std::thread([core = core_] { core->threadMain(); });
    }
}

RunLoop::~RunLoop() {
    stop();
}

void RunLoop::post(std::function<void()> block) {
    if (!block) return;
    // Woken under the lock: once it is released, the block may run (and even end the
    // platform) before this call returns, so nothing of `this` is touched after it.
    std::lock_guard lock(core_->m);
    if (core_->stopped) return;
    core_->posted.push_back(std::move(block));
    core_->wake.notify_one();
}

std::shared_ptr<platform::Timer> RunLoop::schedule(double seconds, bool repeats,
                                                   std::function<void()> action) {
    auto state = std::make_shared<TimerState>();
    state->core = core_;
    state->repeats = repeats;
    state->interval = toTicks(seconds);
    if (repeats) state->interval = std::max(state->interval, kMinRepeatInterval);
    auto timer = std::make_shared<LoopTimer>(state);
    if (!action) return timer;
    {
        std::lock_guard lock(core_->m);
        if (core_->stopped) return timer;
        state->action = std::make_shared<std::function<void()>>(std::move(action));
        state->armedAt = core_->ticksLocked();
        const Key key{state->armedAt + state->interval, core_->nextOrder++};
        core_->timers.emplace(key, state);
        state->key = key;
        core_->wake.notify_one();
    }
    return timer;
}

double RunLoop::now() const {
    if (clock_ == Clock::realTime) {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    std::lock_guard lock(core_->m);
    return static_cast<double>(core_->virtualNow) / 1e9;
}

bool RunLoop::onLoop() const {
    std::lock_guard lock(core_->m);
    return core_->running && core_->loopThread == std::this_thread::get_id();
}

void RunLoop::runUntilIdle() {
    if (clock_ != Clock::virtualTime) return;
    {
        std::lock_guard lock(core_->m);
        if (core_->running) return;
        core_->running = true;
        core_->loopThread = std::this_thread::get_id();
    }
    struct Leave {
        Core& core;
        ~Leave() {
            std::lock_guard lock(core.m);
            core.running = false;
            core.loopThread = {};
        }
    } leave{*core_};
    for (;;) {
        if (core_->runOnePosted()) continue;
        Ticks now;
        {
            std::lock_guard lock(core_->m);
            now = core_->virtualNow;
        }
        if (!core_->fireOneTimer(now)) break;
    }
}

void RunLoop::advance(double seconds) {
    if (clock_ != Clock::virtualTime || onLoop()) return;
    Ticks target;
    {
        std::lock_guard lock(core_->m);
        target = core_->virtualNow + toTicks(seconds);
    }
    for (;;) {
        runUntilIdle();
        std::lock_guard lock(core_->m);
        if (core_->stopped || core_->timers.empty()) break;
        const Ticks due = core_->timers.begin()->first.due;
        if (due > target) break;
        core_->virtualNow = std::max(core_->virtualNow, due);
    }
    {
        std::lock_guard lock(core_->m);
        core_->virtualNow = std::max(core_->virtualNow, target);
    }
    runUntilIdle();
}

void RunLoop::stop() {
    std::deque<std::function<void()>> posted;
    std::map<Key, std::shared_ptr<TimerState>> timers;
    std::vector<Action> actions;
    {
        std::lock_guard lock(core_->m);
        core_->stopped = true;
        posted.swap(core_->posted);
        timers.swap(core_->timers);
        for (auto& [key, state] : timers) {
            state->key.reset();
            actions.push_back(std::move(state->action));
        }
    }
    core_->wake.notify_all();
    if (thread_.joinable()) {
        // From the loop's own thread (its last owner let go inside a block) it cannot be
        // joined; it ends after that block, holding the core alive until then.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    // Everything dropped is destroyed here, outside the lock.
}

}  // namespace orvex::sim
