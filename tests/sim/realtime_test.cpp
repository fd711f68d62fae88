// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "orvex/sim/SimPlatform.hpp"

// The real-time mode: its own thread runs the loop. No timing is asserted; waits have a
// generous bound only so that a broken loop fails instead of hanging.

namespace orvex::sim {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

TEST(RealTime, BlocksFromManyThreadsRunOneAtATimeOnTheLoopThread) {
    SimPlatform sim{Clock::realTime};
    std::mutex m;
    std::vector<std::thread::id> ranOn;
    std::vector<int> perThread[4];
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                sim.linkQueue().post([&, t, i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    {
                        std::lock_guard lock(m);
                        ranOn.push_back(std::this_thread::get_id());
                        perThread[t].push_back(i);
                    }
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& th : threads) th.join();
    sim.sync([] {});
    std::lock_guard lock(m);
    ASSERT_EQ(ranOn.size(), 800u);
    EXPECT_FALSE(overlapped);
    for (auto id : ranOn) {
        EXPECT_EQ(id, ranOn.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    // Each thread's blocks ran in the order it posted them.
    for (const auto& seq : perThread) {
        for (int i = 0; i < 200; ++i) ASSERT_EQ(seq[static_cast<std::size_t>(i)], i);
    }
}

TEST(RealTime, TimersFireInTimeOrderAndInvalidatedOnesDoNot) {
    SimPlatform sim{Clock::realTime};
    std::promise<void> done;
    std::vector<int> order;  // touched on the loop only
    auto cancelled = sim.scheduleTimer(0.02, false, [&] { order.push_back(99); });
    auto later = sim.scheduleTimer(0.06, false, [&] {
        order.push_back(2);
        done.set_value();
    });
    auto sooner = sim.scheduleTimer(0.03, false, [&] { order.push_back(1); });
    cancelled->invalidate();
    ASSERT_EQ(done.get_future().wait_for(kBound), std::future_status::ready);
    sim.sync([&] { EXPECT_EQ(order, (std::vector<int>{1, 2})); });
}

TEST(RealTime, RepeatingTimerRepeatsUntilInvalidatedFromItsAction) {
    SimPlatform sim{Clock::realTime};
    std::promise<void> done;
    std::shared_ptr<platform::Timer> timer;
    int fired = 0;
    sim.sync([&] {
        timer = sim.scheduleTimer(0.005, true, [&] {
            if (++fired == 3) {
                timer->invalidate();
                done.set_value();
            }
        });
    });
    ASSERT_EQ(done.get_future().wait_for(kBound), std::future_status::ready);
    // Ten intervals later the timer has still fired three times only.
    std::promise<void> settled;
    auto settledTimer = sim.scheduleTimer(0.05, false, [&] { settled.set_value(); });
    ASSERT_EQ(settled.get_future().wait_for(kBound), std::future_status::ready);
    sim.sync([&] { EXPECT_EQ(fired, 3); });
}

TEST(RealTime, ClockIsTheWallClock) {
    SimPlatform sim{Clock::realTime};
    const double before =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const double now = sim.now();
    EXPECT_GE(now, before - 1.0);
    EXPECT_LE(now, before + 3600.0);
}

TEST(RealTime, DestructionWithPendingWorkIsClean) {
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    {
        SimPlatform sim{Clock::realTime};
        auto t = sim.scheduleTimer(60.0, true, [held] {});
        sim.linkQueue().post([held] {});
        held.reset();
    }
    EXPECT_TRUE(watch.expired());
}

TEST(RealTime, LastOwnerLettingGoOnTheLoopThreadDoesNotHang) {
    auto sim = std::make_shared<SimPlatform>(Clock::realTime);
    std::promise<void> done;
    auto finished = done.get_future();
    auto* raw = sim.get();
    raw->linkQueue().post([sim = std::move(sim), &done]() mutable {
        sim.reset();  // the platform goes away from inside its own loop
        done.set_value();
    });
    ASSERT_EQ(finished.wait_for(kBound), std::future_status::ready);
}

TEST(RealTime, SyncAfterShutdownReturns) {
    SimPlatform sim{Clock::realTime};
    sim.shutdown();
    bool ran = false;
    sim.sync([&] { ran = true; });
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace orvex::sim
