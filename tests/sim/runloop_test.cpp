// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orvex/sim/SimPlatform.hpp"

// The virtual-time run loop: ordering of posted blocks and timers, repeating timers,
// invalidation, and the exactness of the clock.

namespace orvex::sim {
namespace {

struct VirtualLoop : ::testing::Test {
    SimPlatform sim{Clock::virtualTime};
    std::vector<std::string> log;

    // Records `name` and the clock at which it ran.
    std::function<void()> note(std::string name) {
        return [this, name] { log.push_back(name + "@" + std::to_string(sim.now())); };
    }
};

TEST_F(VirtualLoop, PostedBlocksRunInOrderOnlyWhenTheLoopRuns) {
    sim.linkQueue().post([this] { log.push_back("a"); });
    sim.mainExecutor().post([this] {
        log.push_back("b");
        sim.linkQueue().post([this] { log.push_back("d"); });
    });
    sim.linkQueue().post([this] { log.push_back("c"); });
    EXPECT_TRUE(log.empty());
    sim.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(sim.now(), 0.0);
}

TEST_F(VirtualLoop, BlocksPostedWhileTheQueueIsRunningKeepTheirOrderAsItGrows) {
    // The first of a dozen blocks posts forty more while the others wait: the queue wraps
    // around and grows with its head mid-way, and every block still runs in posting order.
    std::vector<int> ran;
    for (int i = 0; i < 12; ++i) {
        sim.linkQueue().post([this, &ran, i] {
            ran.push_back(i);
            if (i != 0) return;
            for (int j = 12; j < 52; ++j) sim.linkQueue().post([&ran, j] { ran.push_back(j); });
        });
    }
    sim.runUntilIdle();
    ASSERT_EQ(ran.size(), 52u);
    for (int i = 0; i < 52; ++i) EXPECT_EQ(ran[i], i);
}

TEST_F(VirtualLoop, TimersFireInTimeOrderEachAtItsOwnTime) {
    auto t3 = sim.scheduleTimer(3.0, false, note("three"));
    auto t1 = sim.scheduleTimer(1.0, false, note("one"));
    auto t2 = sim.scheduleTimer(2.0, false, note("two"));
    sim.advance(2.5);
    EXPECT_EQ(log, (std::vector<std::string>{"one@1.000000", "two@2.000000"}));
    EXPECT_EQ(sim.now(), 2.5);
    sim.advance(0.5);
    EXPECT_EQ(log.back(), "three@3.000000");
}

TEST_F(VirtualLoop, TimersDueTogetherFireInTheOrderScheduled) {
    auto b = sim.scheduleTimer(1.0, false, note("b"));
    auto a = sim.scheduleTimer(1.0, false, note("a"));
    auto c = sim.scheduleTimer(1.0, false, note("c"));
    sim.advance(1.0);
    EXPECT_EQ(log, (std::vector<std::string>{"b@1.000000", "a@1.000000", "c@1.000000"}));
}

TEST_F(VirtualLoop, WhatATimerPostsRunsAtItsTimeBeforeTheNextTimer) {
    auto first = sim.scheduleTimer(1.0, false, [this] {
        log.push_back("first");
        sim.linkQueue().post(note("posted"));
    });
    auto second = sim.scheduleTimer(1.0, false, note("second"));
    auto later = sim.scheduleTimer(2.0, false, note("later"));
    sim.advance(5.0);
    EXPECT_EQ(log, (std::vector<std::string>{"first", "posted@1.000000", "second@1.000000",
                                             "later@2.000000"}));
}

TEST_F(VirtualLoop, RepeatingTimerFiresAtMultiplesOfItsIntervalFromArming) {
    sim.advance(0.5);
    auto t = sim.scheduleTimer(1.0, true, note("tick"));
    sim.advance(3.2);
    EXPECT_EQ(log, (std::vector<std::string>{"tick@1.500000", "tick@2.500000", "tick@3.500000"}));
}

TEST_F(VirtualLoop, RepeatingTimerIsScheduledAnewEachTimeItFires) {
    // Both are due at 2.0; the repeating one was scheduled again at 1.0, after the one-shot.
    auto repeating = sim.scheduleTimer(1.0, true, note("repeat"));
    auto once = sim.scheduleTimer(2.0, false, note("once"));
    sim.advance(2.0);
    EXPECT_EQ(log,
              (std::vector<std::string>{"repeat@1.000000", "once@2.000000", "repeat@2.000000"}));
}

TEST_F(VirtualLoop, InvalidateFromInsideTheActionStopsARepeatingTimer) {
    std::shared_ptr<platform::Timer> t;
    int fired = 0;
    t = sim.scheduleTimer(1.0, true, [&] {
        if (++fired == 2) {
            t->invalidate();
            t->invalidate();  // twice is harmless
        }
    });
    sim.advance(10.0);
    EXPECT_EQ(fired, 2);
}

TEST_F(VirtualLoop, InvalidatedTimerNeverFiresAndReleasesItsAction) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    auto t = sim.scheduleTimer(1.0, false, [held, this] { log.push_back("fired"); });
    held.reset();
    EXPECT_FALSE(watch.expired());
    t->invalidate();
    // The action (and what it holds) is gone at once, not at the time it would have fired.
    EXPECT_TRUE(watch.expired());
    sim.advance(2.0);
    EXPECT_TRUE(log.empty());
}

TEST_F(VirtualLoop, TimersArmedAndDroppedByTheHundredLeaveTheOthersInOrder) {
    // As a link restarts its timeouts on every exchange: most timers are dropped before they
    // are due. The ones kept fire at their times, those due together in scheduling order.
    std::vector<std::shared_ptr<platform::Timer>> kept;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        const int tenths = (i * 37) % 50 + 1;  // 0.1 s to 5 s, in a scrambled order
        auto t = sim.scheduleTimer(tenths / 10.0, false,
                                   [this, i] { log.push_back(std::to_string(i)); });
        if (i % 3 == 0) {
            kept.push_back(t);
        } else {
            t->invalidate();
        }
    }
    for (int tenths = 1; tenths <= 50; ++tenths) {
        for (int i = 0; i < 300; i += 3) {
            if ((i * 37) % 50 + 1 == tenths) expected.push_back(std::to_string(i));
        }
    }
    sim.advance(2.0);
    sim.advance(3.0);
    EXPECT_EQ(log, expected);
}

TEST_F(VirtualLoop, OneShotTimerReleasesItsActionAfterFiring) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    auto t = sim.scheduleTimer(1.0, false, [held] {});
    held.reset();
    sim.advance(1.0);
    EXPECT_TRUE(watch.expired());
}

TEST_F(VirtualLoop, RepeatingTimerKeepsItsActionBetweenFiringsAndReleasesItOnInvalidate) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    int fired = 0;
    auto t = sim.scheduleTimer(1.0, true, [held, &fired] { ++fired; });
    held.reset();
    sim.advance(3.0);
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(watch.expired());
    t->invalidate();
    EXPECT_TRUE(watch.expired());
    sim.advance(3.0);
    EXPECT_EQ(fired, 3);
}

TEST_F(VirtualLoop, TimerWithoutHandleStillFires) {
    sim.scheduleTimer(1.0, false, note("kept"));
    sim.advance(1.0);
    EXPECT_EQ(log, (std::vector<std::string>{"kept@1.000000"}));
}

TEST_F(VirtualLoop, ZeroDelayTimerFiresAfterPostedBlocksInTheSameRun) {
    auto t = sim.scheduleTimer(0.0, false, note("timer"));
    sim.linkQueue().post(note("posted"));
    sim.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"posted@0.000000", "timer@0.000000"}));
}

TEST_F(VirtualLoop, DecimalStepsAddUpExactly) {
    auto t = sim.scheduleTimer(1.0, false, note("one"));
    for (int i = 0; i < 9; ++i) sim.advance(0.1);
    EXPECT_TRUE(log.empty());
    sim.advance(0.1);
    EXPECT_EQ(log, (std::vector<std::string>{"one@1.000000"}));
    EXPECT_EQ(sim.now(), 1.0);
}

TEST_F(VirtualLoop, TimerArmedByATimerCountsFromItsFiringTime) {
    std::shared_ptr<platform::Timer> inner;
    auto outer = sim.scheduleTimer(1.0, false,
                                   [&] { inner = sim.scheduleTimer(0.5, false, note("inner")); });
    sim.advance(1.4);
    EXPECT_TRUE(log.empty());
    sim.advance(0.1);
    EXPECT_EQ(log, (std::vector<std::string>{"inner@1.500000"}));
}

TEST_F(VirtualLoop, RunUntilIdleInsideTheLoopDoesNotNest) {
    sim.linkQueue().post([this] {
        log.push_back("outer");
        sim.linkQueue().post([this] { log.push_back("inner"); });
        sim.runUntilIdle();
        sim.advance(5.0);
        log.push_back("outer end");
    });
    sim.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"outer", "outer end", "inner"}));
    EXPECT_EQ(sim.now(), 0.0);
}

TEST_F(VirtualLoop, ShutdownDropsPendingWorkAndIgnoresLaterWork) {
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    sim.linkQueue().post([held] {});
    auto t = sim.scheduleTimer(1.0, true, [held] {});
    held.reset();
    sim.shutdown();
    EXPECT_TRUE(watch.expired());
    sim.linkQueue().post(note("late"));
    auto late = sim.scheduleTimer(0.0, false, note("late timer"));
    sim.advance(2.0);
    EXPECT_TRUE(log.empty());
    t->invalidate();
}

}  // namespace
}  // namespace orvex::sim
