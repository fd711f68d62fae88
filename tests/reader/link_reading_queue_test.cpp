// SPDX-License-Identifier: Apache-2.0
// Readings that come faster than their contacts can be read wait in a bounded queue: each is
// reported at once and gets exactly one final report, in order; past the bound a reading is
// reported without its contact and the log says so.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link_fixture.hpp"
#include "orvex/Log.hpp"
#include "reader/Commands.hpp"

namespace orvex::linktest {
namespace {

class LinkReadingQueue : public ::testing::Test {
protected:
    void SetUp() override {
        link->setDelegate(host);
        connectScripted(*platform, *link);
        for (const auto& answer : {sim::Bytes{0x87, 0x41, 0x00}, sim::Bytes{0x84, 0x00, 0x01},
                                   sim::Bytes{0x8E, 0x43, 0x00}}) {
            notify(answer);
        }
    }
    void TearDown() override { setLogHandler(LogLevel::error, nullptr); }
    void notify(const sim::Bytes& value) {
        platform->notify(value);
        platform->runUntilIdle();
    }
    // A trigger reading of FDX-B tag 999 n, with its status messages around it.
    void animal(std::uint8_t n) {
        notify({0x55, 0x51, 0x58, 0x2C, 0x53, 0x42});
        notify({0x8F, 0x04, 0x03, 0xE7, n, 0x00, 0x00, 0x00, 0x00});
        notify({0x55, 0x51, 0x58, 0x2C, 0x53, 0x45});
    }
    long count(const std::string& line) {
        const auto lines = host->lines();
        return std::count(lines.begin(), lines.end(), line);
    }

    std::shared_ptr<sim::SimPlatform> platform = std::make_shared<sim::SimPlatform>();
    std::shared_ptr<detail::Link> link = std::make_shared<detail::Link>(platform);
    std::shared_ptr<RecordingDelegate> host = std::make_shared<RecordingDelegate>();
};

TEST_F(LinkReadingQueue, EveryReadingGetsOneFinalReportInTheOrderTheyCame) {
    for (std::uint8_t n = 1; n <= 5; ++n) animal(n);
    EXPECT_EQ(count("scanReceived true"), 5);
    // Each contact answer (here "no contact", a round trip after its request) ends the oldest
    // reading and asks for the next.
    for (int i = 0; i < 5; ++i) {
        platform->advance(0.05);
        notify({0x7E});
    }
    EXPECT_EQ(count("scanReceived false"), 5);
    platform->advance(0.05);
    notify({0x7E});  // answers nothing now
    EXPECT_EQ(count("scanReceived false"), 5);
}

TEST_F(LinkReadingQueue, AFullQueueReportsTheReadingWithoutItsContactAndSaysSo) {
    std::vector<std::string> logged;
    setLogHandler(LogLevel::error, [&](LogLevel, std::string_view text) {
        logged.emplace_back(text);
    });
    const auto beyond = detail::READING_QUEUE_CAP + 2;
    for (std::size_t n = 1; n <= beyond; ++n) animal(static_cast<std::uint8_t>(n));
    EXPECT_EQ(count("scanReceived true"), static_cast<long>(detail::READING_QUEUE_CAP));
    EXPECT_EQ(count("scanReceived false"), 2);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_NE(logged.front().find("without one"), std::string::npos) << logged.front();

    // The queued ones still end one by one, at their contact timers at the latest.
    platform->advance(detail::CONTACT_TIMEOUT * static_cast<double>(beyond + 1));
    platform->runUntilIdle();
    EXPECT_EQ(count("scanReceived false"), static_cast<long>(beyond));
}

TEST_F(LinkReadingQueue, TheLossOfTheConnectionEndsEveryWaitingReading) {
    for (std::uint8_t n = 1; n <= 3; ++n) animal(n);
    platform->reportDisconnected();
    platform->runUntilIdle();
    EXPECT_EQ(count("scanReceived false"), 3);
}

}  // namespace
}  // namespace orvex::linktest
