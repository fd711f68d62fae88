// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "orvex/platform/Platform.hpp"

namespace orvex::detail {

// A serial executor on its own worker thread: posted blocks and due timers run one at a
// time, in order, on that thread. Timers use the steady clock; a repeating timer armed at T
// with interval I is due at T+I, T+2I, ... (no drift from late runs).
//
// Destroying the loop stops it: blocks not yet run are dropped. Destroying it from one of
// its own blocks is allowed (the worker finishes that block and ends by itself).
class TaskLoop : public platform::Executor {
public:
    explicit TaskLoop(std::string name);
    ~TaskLoop() override;
    TaskLoop(const TaskLoop&) = delete;
    TaskLoop& operator=(const TaskLoop&) = delete;

    void post(std::function<void()> block) override;

    // A timer whose action runs on this loop; the loop keeps it until it has fired (one-shot)
    // or is invalidated, whether or not the caller keeps the handle.
    std::shared_ptr<platform::Timer> schedule(std::chrono::steady_clock::duration interval,
                                              bool repeats, std::function<void()> action);

    // True on the loop's worker thread.
    bool isCurrent() const;

    // Stops the loop as destroying it does (blocks not yet run are dropped, later posts are
    // ignored) and, when called from another thread, waits until the worker has ended and
    // released what its blocks held. For an owner whose loop others may still share: once
    // it returns, no thread of the loop is left running.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

}  // namespace orvex::detail
