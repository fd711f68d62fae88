// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/E2eSession.hpp"

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::SimReaderConfig;
using orvex::sim::SimReadingFormat;
using orvex::sim::SimService;

namespace {

const std::string kOwner = "+44 7946 0001|OWNER@EXAMPLE.COM        ";
const std::string kTagId = "999 000000012345";

struct Layout {
    std::size_t notificationSize;
    SimService service;
};

class WholeSession : public ::testing::TestWithParam<Layout> {};

// Connect, version, battery, a host scan with its contact, a trigger reading, an export and
// a disconnection, as the host sees them.
TEST_P(WholeSession, RunsFromConnectionToDisconnection) {
    SimReaderConfig config;
    config.notificationSize = GetParam().notificationSize;
    config.service = GetParam().service;
    Session s(config);
    auto& host = s.host();

    ASSERT_TRUE(s.connect());
    EXPECT_EQ(host.events(), (std::vector<std::string>{"btReader", "connecting", "readerConnected",
                                                       "version KX100-M 2.4.1", "battery 89"}));
    EXPECT_TRUE(s.link().isConnected());
    ASSERT_TRUE(s.reader().peripheral());
    EXPECT_EQ(s.reader().peripheral()->name(), "KX-BT4 SIM");
    const auto detected = host.detected();
    EXPECT_NE(std::find(detected.begin(), detected.end(), "--DETECTED DEVICES-- KX-BT4 SIM"),
              detected.end());
    EXPECT_NE(std::find(detected.begin(), detected.end(), "--DETECTED DEVICES-- unnamed"),
              detected.end());
    // A name holding a reader name fragment in lower case is passed over.
    EXPECT_NE(
        std::find(detected.begin(), detected.end(), "--DETECTED DEVICES-- kx-bt4 charging dock"),
        detected.end());

    host.clear();
    s.link().scan();
    ASSERT_TRUE(s.runUntil([&] { return host.countPrefix("scanReceived") == 2; }, 30));
    EXPECT_EQ(host.events(), (std::vector<std::string>{
                                 "scanReceived " + kTagId + " pending=1",
                                 "scanReceived " + kTagId + " pending=0 contact=" + kOwner}));

    host.clear();
    s.reader().triggerReading(SimReadingFormat::packed);
    ASSERT_TRUE(s.runUntil([&] { return host.count("readerScanning 0") == 1; }, 30));
    EXPECT_EQ(host.events(),
              (std::vector<std::string>{"readerScanning 1", "scanReceived " + kTagId + " pending=1",
                                        "scanReceived " + kTagId + " pending=0 contact=" + kOwner,
                                        "readerScanning 0"}));

    // Three stored readings and the one just made.
    host.clear();
    s.reader().exportReadings();
    ASSERT_TRUE(s.runUntil([&] { return host.exports().size() == 4; }, 30));
    s.run(1.0);
    EXPECT_EQ(host.events(),
              (std::vector<std::string>{
                  "exportReceived 1 " + kTagId, "exportReceived 2 124 000000001234",
                  "exportReceived 3 000 000305419896", "exportReceived 4 " + kTagId}));
    const auto exports = host.exports();
    EXPECT_EQ(exports[0].type(), 4);
    EXPECT_EQ(exports[1].type(), 1);
    EXPECT_EQ(exports[2].type(), 6);

    // A while of keep-alive changes nothing the host sees.
    host.clear();
    s.run(30.0);
    EXPECT_TRUE(host.events().empty());
    EXPECT_TRUE(s.link().isConnected());

    s.link().disconnectFromReader();
    ASSERT_TRUE(s.runUntil([&] { return !host.events().empty(); }, 10));
    s.run(1.0);
    EXPECT_EQ(host.events(), std::vector<std::string>{"readerDisconnected connectionInterrupted"});
    EXPECT_FALSE(s.link().isConnected());
    EXPECT_FALSE(s.reader().isConnected());
}

INSTANTIATE_TEST_SUITE_P(
    NotificationSizes, WholeSession,
    ::testing::Values(Layout{20, SimService::uart}, Layout{244, SimService::uart},
                      Layout{20, SimService::serial16}, Layout{244, SimService::serial16}),
    [](const auto& info) {
        return std::string(info.param.service == SimService::uart ? "Uart" : "Serial16") +
               std::to_string(info.param.notificationSize);
    });

TEST(Session, ReconnectsAfterTheHostDisconnected) {
    Session s;
    ASSERT_TRUE(s.connect());
    s.link().disconnectFromReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 10));
    s.host().clear();
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("battery") == 1; }, 30));
    EXPECT_EQ(s.host().events(), (std::vector<std::string>{"connecting", "readerConnected",
                                                           "version KX100-M 2.4.1", "battery 89"}));
}

TEST(Session, ReaderThatDropsTheConnectionIsReportedOnce) {
    Session s;
    ASSERT_TRUE(s.connect());
    s.host().clear();
    s.reader().disconnect();
    s.run(5.0);
    EXPECT_EQ(s.host().events(),
              std::vector<std::string>{"readerDisconnected connectionInterrupted"});
    EXPECT_FALSE(s.link().isConnected());
}

TEST(Session, HostScanWithAnEmptyFieldFails) {
    SimReaderConfig config;
    config.tagInField.reset();
    Session s(config);
    ASSERT_TRUE(s.connect());
    s.host().clear();
    s.link().scan();
    ASSERT_TRUE(s.runUntil([&] { return !s.host().events().empty(); }, 30));
    s.run(25.0);  // the scan timer expires without a second report
    EXPECT_EQ(s.host().events(), std::vector<std::string>{"scanFailed"});
}

}  // namespace

namespace {

// The same reader on the wall clock: the platform's own thread runs the link and the reader
// while the test thread drives the host side and looks at the reader.
TEST(Session, RunsOnTheWallClockToo) {
    SimReaderConfig config;
    config.answerDelay = 0.002;
    config.triggerEndDelay = 0.01;
    Session s(config, true, orvex::sim::Clock::realTime);
    ASSERT_TRUE(s.connect(20));
    s.link().scan();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("scanReceived") == 2; }, 20));
    s.reader().triggerReading(SimReadingFormat::text);
    ASSERT_TRUE(s.runUntil([&] { return s.host().count("readerScanning 0") == 1; }, 20));
    s.reader().exportReadings();
    ASSERT_TRUE(s.runUntil([&] { return s.host().exports().size() == 4; }, 20));
    EXPECT_EQ(s.host().scans().back().contact(), kOwner);
    EXPECT_TRUE(s.reader().isConnected());
    EXPECT_GE(s.reader().framesReceived(), 6u);
    s.link().disconnectFromReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 20));
}

}  // namespace

namespace {

// The reader drops the connection when the version request (its second frame, after the
// handshake ping) arrives; the next connection runs normally.
TEST(Session, ReaderDroppingTheConnectionDuringSetUp) {
    SimReaderConfig config;
    config.faults.disconnectAtFrame = 2;
    Session s(config);
    s.link().initializeBluetooth();
    ASSERT_TRUE(s.runUntil([&] { return s.host().count("btReader") == 1; }, 5));
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 30));
    s.run(15.0);
    EXPECT_EQ(s.host().events(),
              (std::vector<std::string>{"btReader", "connecting", "readerConnected",
                                        "readerDisconnected connectionInterrupted"}));
    EXPECT_EQ(s.reader().recentFrames(), (std::vector<std::vector<std::uint8_t>>{{}, {0x07}}));

    s.host().clear();
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("battery") == 1; }, 30));
    EXPECT_EQ(s.host().events(), (std::vector<std::string>{"connecting", "readerConnected",
                                                           "version KX100-M 2.4.1", "battery 89"}));
}

}  // namespace
