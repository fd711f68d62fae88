// SPDX-License-Identifier: Apache-2.0
#include "platform/sim/RunLoop.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvex::sim {

namespace {

using Ticks = std::int64_t;  // nanoseconds

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

// Posted blocks in the order posted: a ring that grows by doubling and is reused, so a
// steady stream of posts allocates nothing.
class TaskQueue {
public:
    bool empty() const { return count_ == 0; }
    // A new empty task at the back, to be filled in place.
    Task& pushEmpty() {
        if (count_ == slots_.size()) grow();
        Task& slot = slots_[(head_ + count_) & (slots_.size() - 1)];
        ++count_;
        return slot;
    }
    Task pop() {
        Task task = std::move(slots_[head_]);
        head_ = (head_ + 1) & (slots_.size() - 1);
        --count_;
        return task;
    }
    void swap(TaskQueue& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    void grow() {
        std::vector<Task> bigger(std::max<std::size_t>(16, slots_.size() * 2));
        for (std::size_t i = 0; i < count_; ++i) {
            bigger[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
        }
        slots_.swap(bigger);
        head_ = 0;
    }

    std::vector<Task> slots_;  // a power of two in size
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace

class LoopTimer;

struct RunLoop::Core {
    explicit Core(Clock c) : clock(c), start(std::chrono::steady_clock::now()) {
        timers.reserve(8);
    }

    // A timer in the queue. Invalidating a timer leaves its entry behind (stale: the timer
    // no longer carries that key); stale entries are skipped when they come to the top,
    // and swept out when they are many.
    struct Entry {
        Key key;
        std::shared_ptr<LoopTimer> timer;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const { return a.key > b.key; }
    };
    // A timer taken off the queue to fire, with its action.
    struct Firing {
        std::shared_ptr<LoopTimer> timer;
        Task action;
    };

    const Clock clock;
    const std::chrono::steady_clock::time_point start;

    mutable std::mutex m;
    std::condition_variable wake;
    // Guarded by m.
    TaskQueue posted;
    std::vector<Entry> timers;  // a heap, earliest key on top
    std::size_t staleEntries = 0;
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

    void pushTimerLocked(const Key& key, std::shared_ptr<LoopTimer> timer) {
        timers.push_back(Entry{key, std::move(timer)});
        std::push_heap(timers.begin(), timers.end(), Later{});
    }
    bool staleLocked(const Entry& e) const;
    // The earliest live timer's entry (stale ones above it are dropped), or null.
    const Entry* earliestLocked();
    void forgetStaleEntryLocked();
    // Takes the earliest timer when it is due by `limit`; a repeating one is armed again.
    bool takeDueTimerLocked(Ticks limit, Firing& firing);
    void fire(Firing& firing);

    // Runs one posted block, else one timer due by `limit` (virtual time: the clock).
    bool runOne();
    bool fireOneTimer(Ticks limit);
    void threadMain();
};

class LoopTimer final : public platform::Timer {
public:
    explicit LoopTimer(std::weak_ptr<RunLoop::Core> core) : core_(std::move(core)) {}

    void invalidate() override {
        auto core = core_.lock();
        if (!core) return;
        Task dropped;
        {
            std::lock_guard lock(core->m);
            if (armed) {
                armed = false;
                core->forgetStaleEntryLocked();
            }
            dropped = std::move(action);
        }
        // `dropped` is released here, outside the lock: the action may hold objects whose
        // destructors post.
    }

    // Guarded by core->m.
    Task action;  // empty while it runs
    Key key{};    // of its entry in core->timers, while armed
    bool armed = false;
    Ticks armedAt = 0;
    Ticks interval = 0;
    bool repeats = false;
    std::uint64_t firings = 0;

private:
    std::weak_ptr<RunLoop::Core> core_;
};

bool RunLoop::Core::staleLocked(const Entry& e) const {
    return !e.timer->armed || e.timer->key != e.key;
}

const RunLoop::Core::Entry* RunLoop::Core::earliestLocked() {
    while (!timers.empty() && staleLocked(timers.front())) {
        std::pop_heap(timers.begin(), timers.end(), Later{});
        timers.pop_back();
        --staleEntries;
    }
    return timers.empty() ? nullptr : &timers.front();
}

void RunLoop::Core::forgetStaleEntryLocked() {
    // Timers armed and dropped again and again (timeouts restarted on every exchange)
    // would otherwise pile up until their due times pass.
    if (++staleEntries > 64 && staleEntries * 2 > timers.size()) {
        std::erase_if(timers, [this](const Entry& e) { return staleLocked(e); });
        std::make_heap(timers.begin(), timers.end(), Later{});
        staleEntries = 0;
    }
}

bool RunLoop::Core::takeDueTimerLocked(Ticks limit, Firing& firing) {
    const Entry* top = earliestLocked();
    if (!top || top->key.due > limit) return false;
    const Key key = top->key;
    std::pop_heap(timers.begin(), timers.end(), Later{});
    firing.timer = std::move(timers.back().timer);
    timers.pop_back();
    LoopTimer& t = *firing.timer;
    if (clock == Clock::virtualTime) virtualNow = std::max(virtualNow, key.due);
    // The action runs outside the lock, out of the timer: if the timer is invalidated while
    // it runs, it is released afterwards, not under its own feet.
    firing.action = std::move(t.action);
    if (t.repeats && firing.action) {
        // Scheduled anew as it fires: T+I, T+2I, ... A real-time loop that fell behind
        // skips the firings it missed.
        auto nextDue = [&] { return t.armedAt + static_cast<Ticks>(t.firings + 1) * t.interval; };
        ++t.firings;
        if (clock == Clock::realTime) {
            const Ticks now = ticksLocked();
            while (nextDue() <= now) ++t.firings;
        }
        t.key = Key{nextDue(), nextOrder++};
        pushTimerLocked(t.key, firing.timer);
    } else {
        t.armed = false;
    }
    return true;
}

void RunLoop::Core::fire(Firing& firing) {
    if (!firing.action) return;
    firing.action();
    if (!firing.timer->repeats) return;
    {
        // Still armed: the action goes back into the timer for its next firing.
        std::lock_guard lock(m);
        if (firing.timer->armed && !stopped) firing.timer->action = std::move(firing.action);
    }
    // Otherwise it was invalidated (or the loop stopped) while it ran: released here.
}

bool RunLoop::Core::runOne() {
    Task block;
    Firing firing;
    {
        std::lock_guard lock(m);
        if (stopped) return false;
        if (!posted.empty()) {
            block = posted.pop();
        } else if (!takeDueTimerLocked(virtualNow, firing)) {
            return false;
        }
    }
    if (block) {
        block();
    } else {
        fire(firing);  // nothing when the block was empty (its callable failed to be made)
    }
    return true;
}

bool RunLoop::Core::fireOneTimer(Ticks limit) {
    Firing firing;
    {
        std::lock_guard lock(m);
        if (stopped || !takeDueTimerLocked(limit, firing)) return false;
    }
    fire(firing);
    return true;
}

void RunLoop::Core::threadMain() {
    std::unique_lock lock(m);
    loopThread = std::this_thread::get_id();
    running = true;
    while (!stopped) {
        if (!posted.empty()) {
            Task block = posted.pop();
            lock.unlock();
            if (block) block();
            block.reset();
            lock.lock();
            continue;
        }
        if (const Entry* earliest = earliestLocked()) {
            const Ticks due = earliest->key.due;
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

// Posting fills the new slot and wakes the loop under the lock: once it is released, the
// block may run (and even end the platform) before the call returns, so nothing of `this`
// is touched after it.

std::mutex& RunLoop::postMutex() {
    return core_->m;
}

Task* RunLoop::queueSlot() {
    if (core_->stopped) return nullptr;
    Task& slot = core_->posted.pushEmpty();
    if (clock_ == Clock::realTime) core_->wake.notify_one();
    return &slot;
}

void RunLoop::post(std::function<void()> block) {
    if (!block) return;
    std::lock_guard lock(core_->m);
    if (Task* slot = queueSlot()) slot->emplace(std::move(block));
}

void RunLoop::postTask(Task block) {
    if (!block) return;
    std::lock_guard lock(core_->m);
    if (Task* slot = queueSlot()) *slot = std::move(block);
}

std::shared_ptr<platform::Timer> RunLoop::schedule(double seconds, bool repeats,
                                                   std::function<void()> action) {
    if (!action) return scheduleTask(seconds, repeats, Task());
    return scheduleTask(seconds, repeats, Task(std::move(action)));
}

std::shared_ptr<platform::Timer> RunLoop::scheduleTask(double seconds, bool repeats,
                                                       Task action) {
    auto timer = std::make_shared<LoopTimer>(core_);
    timer->repeats = repeats;
    timer->interval = toTicks(seconds);
    if (repeats) timer->interval = std::max(timer->interval, kMinRepeatInterval);
    if (!action) return timer;
    {
        std::lock_guard lock(core_->m);
        if (core_->stopped) return timer;
        timer->action = std::move(action);
        timer->armedAt = core_->ticksLocked();
        timer->key = Key{timer->armedAt + timer->interval, core_->nextOrder++};
        timer->armed = true;
        core_->pushTimerLocked(timer->key, timer);
        if (clock_ == Clock::realTime) core_->wake.notify_one();
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
    while (core_->runOne()) {
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
        if (core_->stopped) break;
        const Core::Entry* earliest = core_->earliestLocked();
        if (!earliest || earliest->key.due > target) break;
        core_->virtualNow = std::max(core_->virtualNow, earliest->key.due);
    }
    {
        std::lock_guard lock(core_->m);
        core_->virtualNow = std::max(core_->virtualNow, target);
    }
    runUntilIdle();
}

void RunLoop::stop() {
    TaskQueue posted;
    std::vector<Core::Entry> timers;
    std::vector<Task> actions;
    {
        std::lock_guard lock(core_->m);
        core_->stopped = true;
        posted.swap(core_->posted);
        timers.swap(core_->timers);
        core_->staleEntries = 0;
        for (auto& entry : timers) {
            entry.timer->armed = false;
            if (entry.timer->action) actions.push_back(std::move(entry.timer->action));
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
