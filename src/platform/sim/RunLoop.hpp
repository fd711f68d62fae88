// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "orvex/platform/Platform.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "platform/sim/Task.hpp"

namespace orvex::sim {

// The one serial context of the simulated platform: a queue of posted blocks and a set of
// timers. In virtual time the clock is a count of nanoseconds that moves only in
// advance(); the caller's thread runs the loop. In real time a thread of its own runs it
// against the steady clock.
//
// Order: posted blocks run first, in the order posted; then the earliest due timer fires
// (ties in the order scheduled), and what it posts runs before the next timer.
class RunLoop : public platform::Executor {
public:
    explicit RunLoop(Clock clock);
    ~RunLoop() override;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    Clock clock() const { return clock_; }

    void post(std::function<void()> block) override;
    // The simulator's own blocks: made in place in the queue, with no std::function.
    template <class F>
    void post(F&& block) {
        std::lock_guard lock(postMutex());
        if (Task* slot = queueSlot()) slot->emplace(std::forward<F>(block));
    }
    void postTask(Task block);

    std::shared_ptr<platform::Timer> schedule(double seconds, bool repeats,
                                              std::function<void()> action);
    std::shared_ptr<platform::Timer> scheduleTask(double seconds, bool repeats, Task action);
    // Virtual: seconds since the start. Real: seconds since the Unix epoch.
    double now() const;

    // Virtual time only (ignored otherwise, and when called from inside the loop).
    void runUntilIdle();
    void advance(double seconds);

    // Whether the calling thread is running the loop right now.
    bool onLoop() const;

    // Stops the thread (real time) and drops everything pending; later work is ignored.
    void stop();

    struct Core;

private:
    // For post(): the lock guarding the queue, and under it a new empty slot at the back of
    // the queue (null once the loop has stopped), to be filled before the lock is released.
    std::mutex& postMutex();
    Task* queueSlot();

    Clock clock_;
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace orvex::sim
