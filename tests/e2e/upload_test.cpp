// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSession.hpp"

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::SimReaderConfig;

namespace {

SimReaderConfig outdated(std::size_t notificationSize = 20) {
    SimReaderConfig config;
    config.microAppCurrent = false;
    config.notificationSize = notificationSize;
    return config;
}

std::vector<std::string> uploadEvents(long announced, long lastSlice, const std::string& end) {
    std::vector<std::string> events{"startUpdate " + std::to_string(announced)};
    for (long i = 0; i <= lastSlice; ++i) events.push_back("updateStatus " + std::to_string(i));
    events.push_back("endUpdate " + end);
    return events;
}

TEST(Upload, MultiKilobyteImageArrivesByteForByte) {
    struct Case {
        std::size_t bodySize;
        long announced;
        long lastSlice;
    };
    // A body that fills its last slice, and one with a short last slice.
    const Case cases[] = {{80 * 50, 50, 49}, {80 * 50 + 33, 50, 50}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bodySize);
        Session s(outdated());
        const auto image = testImage(16 + c.bodySize);
        s.platform().setMicroAppImage(image);
        ASSERT_TRUE(s.connect(120));

        std::vector<std::string> expected{"btReader", "connecting", "readerConnected",
                                          "version KX100-M 2.4.1"};
        for (auto& e : uploadEvents(c.announced, c.lastSlice, "successful")) expected.push_back(e);
        expected.push_back("battery 89");
        EXPECT_EQ(s.host().events(), expected);
        EXPECT_EQ(s.reader().uploadedImage(), image);
        EXPECT_TRUE(s.reader().microAppCurrent());
        EXPECT_TRUE(s.link().isConnected());

        // The next connection finds the micro app current and uploads nothing.
        s.link().disconnectFromReader();
        ASSERT_TRUE(
            s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 10));
        s.host().clear();
        s.link().connectToReader();
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("battery") == 1; }, 30));
        EXPECT_EQ(s.host().countPrefix("startUpdate"), 0u);
    }
}

TEST(Upload, WithoutAnImageNothingIsUploaded) {
    Session s(outdated());
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host().events(),
              (std::vector<std::string>{"btReader", "connecting", "readerConnected",
                                        "version KX100-M 2.4.1", "endUpdate initializationError",
                                        "battery 89"}));
    EXPECT_TRUE(s.reader().uploadedImage().empty());
    EXPECT_FALSE(s.reader().microAppCurrent());
}

TEST(Upload, DisconnectionInTheMiddleEndsTheUploadBeforeTheDisconnectionReport) {
    SimReaderConfig config = outdated(244);
    config.faults.disconnectAtSlice = 10;
    Session s(config);
    const auto image = testImage(16 + 80 * 30);
    s.platform().setMicroAppImage(image);
    s.link().initializeBluetooth();
    s.platform().runUntilIdle();
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("readerDisconnected") == 1; }, 60));
    s.run(30.0);

    std::vector<std::string> expected{"btReader", "connecting", "readerConnected",
                                      "version KX100-M 2.4.1"};
    for (auto& e : uploadEvents(30, 8, "failed")) expected.push_back(e);
    expected.push_back("readerDisconnected connectionInterrupted");
    EXPECT_EQ(s.host().events(), expected);
    EXPECT_EQ(s.reader().uploadedImage(),
              std::vector<std::uint8_t>(image.begin(), image.begin() + 16 + 80 * 9));
    EXPECT_FALSE(s.reader().microAppCurrent());
    EXPECT_FALSE(s.link().isConnected());

    // The next connection starts the upload again, from the head, and completes it.
    s.host().clear();
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("battery") == 1; }, 60));
    EXPECT_EQ(s.host().count("endUpdate successful"), 1u);
    EXPECT_EQ(s.reader().uploadedImage(), image);
    EXPECT_TRUE(s.reader().microAppCurrent());
}

}  // namespace
