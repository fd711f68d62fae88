// SPDX-License-Identifier: Apache-2.0
// The bytes kept between notifications stay bounded whatever the reader sends: only a
// message not yet whole is kept, and no message is longer than the longest the reader sends.

#include <gtest/gtest.h>

#include <random>

#include "link_fixture.hpp"
#include "reader/MessageFramer.hpp"

namespace orvex::linktest {
namespace {

using detail::LONGEST_MESSAGE;

class LinkReadBuffer : public ::testing::Test {
protected:
    void SetUp() override {
        link->setDelegate(host);
        connectScripted(*platform, *link);  // waiting for the version
    }
    void notify(const sim::Bytes& value) {
        platform->notify(value);
        platform->runUntilIdle();
    }
    std::size_t buffered() {
        std::size_t size = 0;
        platform->sync([&] { size = link->readBufferSize(); });
        return size;
    }

    std::shared_ptr<sim::SimPlatform> platform = std::make_shared<sim::SimPlatform>();
    std::shared_ptr<detail::Link> link = std::make_shared<detail::Link>(platform);
    std::shared_ptr<RecordingDelegate> host = std::make_shared<RecordingDelegate>();
};

// A version text without its zero byte is kept until it reaches the longest text taken; then
// it is dropped, and the next message is read afresh.
TEST_F(LinkReadBuffer, UnendingVersionTextIsDroppedAtTheLongestMessage) {
    notify(sim::Bytes{0x87});
    notify(sim::Bytes(LONGEST_MESSAGE - 2, 0x41));
    EXPECT_EQ(buffered(), LONGEST_MESSAGE - 1);
    notify(sim::Bytes{0x41});
    EXPECT_EQ(buffered(), 0u);

    notify(sim::Bytes{0x87, 0x4B, 0x58, 0x00});
    EXPECT_EQ(host->lines().back(), "version KX");
}

// A large notification of bytes that start no message is dropped byte by byte and leaves
// nothing behind; the link stays connected.
TEST_F(LinkReadBuffer, LargeNotificationOfNoMessageLeavesNothing) {
    notify(sim::Bytes(4097, 0x41));
    EXPECT_EQ(buffered(), 0u);
    EXPECT_TRUE(link->isConnected());
}

// Random traffic in every state the link can reach never keeps a longest message's worth.
TEST_F(LinkReadBuffer, RandomTrafficNeverKeepsALongestMessage) {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> length(1, 600);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::uint8_t leads[] = {0x10, 0x55, 0x7E, 0x7F, 0x80, 0x84, 0x87, 0x88, 0x8E, 0x8F, 0xAA};
    for (int i = 0; i < 2000; ++i) {
        sim::Bytes value(static_cast<std::size_t>(length(random)));
        for (auto& b : value) b = static_cast<std::uint8_t>(byte(random));
        // Mostly bytes that open messages, so that messages stay open.
        if (byte(random) < 200) value.front() = leads[byte(random) % std::size(leads)];
        if (byte(random) < 100) std::fill(value.begin() + 1, value.end(), 0x41);
        platform->notify(value);
        if (i % 50 == 0) platform->advance(2.5);
        platform->runUntilIdle();
        ASSERT_LT(buffered(), LONGEST_MESSAGE);
    }
}

}  // namespace
}  // namespace orvex::linktest
