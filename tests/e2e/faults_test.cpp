// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSession.hpp"

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::SimFaults;
using orvex::sim::SimReaderConfig;

namespace {

const std::string kTagId = "999 000000012345";
const std::string kOwner = "+44 7946 0001|OWNER@EXAMPLE.COM        ";

TEST(Faults, GarbageBeforeTheHandshakeAnswerIsABadAnswer) {
    SimReaderConfig config;
    config.faults.garbageRate = 1.0;
    Session s(config);
    s.link().initializeBluetooth();
    s.platform().runUntilIdle();
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("connectionFailed") == 1; }, 30));
    s.run(15.0);
    // One attempt, one failure: the connection going down is not reported again.
    EXPECT_EQ(s.host().events(), (std::vector<std::string>{"btReader", "connecting",
                                                           "connectionFailed badAnswer"}));
}

// Garbage notifications between the answers are dropped by the link; the session goes on.
TEST(Faults, GarbageBetweenAnswersLeavesTheSessionWhole) {
    for (std::size_t size : {20u, 244u}) {
        SCOPED_TRACE(size);
        SimReaderConfig config;
        config.notificationSize = size;
        Session s(config);
        ASSERT_TRUE(s.connect());
        SimFaults faults;
        faults.garbageRate = 1.0;
        s.reader().setFaults(faults);
        s.host().clear();

        s.link().scan();
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("scanReceived") == 2; }, 30));
        s.reader().exportReadings();
        ASSERT_TRUE(s.runUntil([&] { return s.host().exports().size() == 3; }, 30));
        s.run(30.0);  // keep-alive pings, each answer behind garbage
        EXPECT_EQ(s.host().events(),
                  (std::vector<std::string>{
                      "scanReceived " + kTagId + " pending=1",
                      "scanReceived " + kTagId + " pending=0 contact=" + kOwner,
                      "exportReceived 1 " + kTagId, "exportReceived 2 124 000000001234",
                      "exportReceived 3 000 000305419896"}));
        EXPECT_TRUE(s.link().isConnected());
    }
}

// A reader that answers nothing any more: the unanswered pings drop the link.
TEST(Faults, SilentReaderIsDroppedByThePingLimit) {
    Session s;
    ASSERT_TRUE(s.connect());
    SimFaults faults;
    faults.dropRate = 1.0;
    s.reader().setFaults(faults);
    s.host().clear();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 120));
    EXPECT_EQ(s.host().events(),
              std::vector<std::string>{"readerDisconnected connectionInterrupted"});
    EXPECT_FALSE(s.link().isConnected());
}

// A reader that no longer answers pings but still talks is alive: the link keeps it. Once
// it falls silent, the tenth unanswered ping in a row drops the link.
TEST(Faults, ReaderDeafToPingsIsDroppedOnceItFallsSilent) {
    Session s;
    ASSERT_TRUE(s.connect());
    SimFaults faults;
    faults.ignorePings = true;
    s.reader().setFaults(faults);
    s.reader().setTagInField(std::nullopt);
    s.host().clear();
    const double start = s.now();
    for (int i = 0; i < 40; ++i) {
        s.reader().triggerReading();  // "B" then "E": back to idle
        ASSERT_FALSE(
            s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 2.5));
    }
    const double silentFrom = s.now();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 60));
    EXPECT_GE(s.now() - silentFrom, 10 * 2.5 - 2.5);
    EXPECT_GE(s.now() - start, 40 * 2.5);
    EXPECT_EQ(s.host().count("readerDisconnected connectionInterrupted"), 1u);
}

// With 5 % of the answers lost, every exchange still ends in exactly one outcome, within
// bounded virtual time, and the runs repeat exactly for one random start value.
struct LossySessionLog {
    std::vector<std::string> events;
    bool connected = false;
};

LossySessionLog lossySession(std::uint64_t start) {
    SimReaderConfig config;
    config.faults.dropRate = 0.05;
    config.faults.randomStart = start;
    Session s(config);
    auto& host = s.host();
    LossySessionLog log;

    s.link().initializeBluetooth();
    s.platform().runUntilIdle();
    s.link().connectToReader();
    // The connection attempt ends in one of: connected, or failed.
    EXPECT_TRUE(s.runUntil(
        [&] { return host.count("readerConnected") + host.countPrefix("connectionFailed") > 0; },
        30))
        << start;
    s.run(3.0);
    log.connected = host.count("readerConnected") == 1;
    if (!log.connected) {
        log.events = host.events();
        return log;
    }

    for (int i = 0; i < 4; ++i) {
        const std::size_t from = host.events().size();
        s.link().scan();
        // One outcome: scanFailed, or a reading reported with the flag true and then once
        // with the flag false.
        const bool ended = s.runUntil(
            [&] {
                const auto e = host.eventsFrom(from);
                std::size_t failed = 0, final = 0;
                for (const auto& line : e) {
                    failed += line == "scanFailed";
                    final += line.starts_with("scanReceived") &&
                             line.find("pending=0") != std::string::npos;
                }
                return failed + final > 0;
            },
            60);
        EXPECT_TRUE(ended) << "scan " << i << " of run " << start;
        s.run(0.4);
        std::size_t failed = 0, pending = 0, final = 0;
        for (const auto& line : host.eventsFrom(from)) {
            failed += line == "scanFailed";
            pending += line.find("pending=1") != std::string::npos;
            final += line.find("pending=0") != std::string::npos;
        }
        EXPECT_EQ(failed + final, 1u) << "scan " << i << " of run " << start;
        EXPECT_EQ(pending, final) << "scan " << i << " of run " << start;
    }

    s.link().writeContact("OWNER@EXAMPLE.COM", "+44 7946 0001", kTagId, host.completion());
    EXPECT_TRUE(s.runUntil([&] { return host.countPrefix("contactWrite") > 0; }, 60)) << start;
    s.run(45.0);
    EXPECT_EQ(host.countPrefix("contactWrite"), 1u) << start;

    s.link().disconnectFromReader();
    s.run(5.0);
    EXPECT_EQ(host.countPrefix("readerDisconnected"), 1u) << start;
    EXPECT_FALSE(s.link().isConnected());
    log.events = host.events();
    return log;
}

TEST(Faults, FivePercentOfAnswersLostOverManySessions) {
    int connected = 0;
    for (std::uint64_t start = 1; start <= 30; ++start) {
        SCOPED_TRACE(start);
        const auto log = lossySession(start);
        connected += log.connected;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(connected, 20);
    // The same random start value gives the same conversation.
    EXPECT_EQ(lossySession(7).events, lossySession(7).events);
}

}  // namespace
