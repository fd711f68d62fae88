// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "e2e/E2eSession.hpp"

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::SimReaderConfig;
using orvex::sim::SimReadingFormat;
using orvex::sim::SimTag;

namespace {

const std::string kOwner = "+44 7946 0001|OWNER@EXAMPLE.COM        ";

SimTag tag(std::int8_t type, std::uint16_t country, std::uint64_t national) {
    SimTag t;
    t.type = type;
    t.country = country;
    t.nationalNumber = national;
    return t;
}

TEST(TriggerReading, ReachesTheHostInBothFormats) {
    struct Case {
        SimReadingFormat format;
        std::size_t notificationSize;
    };
    const Case cases[] = {{SimReadingFormat::packed, 20},
                          {SimReadingFormat::text, 20},
                          {SimReadingFormat::packed, 244},
                          {SimReadingFormat::text, 244}};
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.format == SimReadingFormat::text ? "text" : "packed",
                                 c.notificationSize));
        SimReaderConfig config;
        config.notificationSize = c.notificationSize;
        Session s(config);
        ASSERT_TRUE(s.connect());
        s.host().clear();
        s.reader().triggerReading(c.format);
        ASSERT_TRUE(s.runUntil([&] { return s.host().count("readerScanning 0") == 1; }, 30));
        EXPECT_EQ(
            s.host().events(),
            (std::vector<std::string>{"readerScanning 1", "scanReceived 999 000000012345 pending=1",
                                      "scanReceived 999 000000012345 pending=0 contact=" + kOwner,
                                      "readerScanning 0"}));
        const auto scans = s.host().scans();
        ASSERT_EQ(scans.size(), 2u);
        EXPECT_EQ(scans[1].type(), 4);
    }
}

TEST(TriggerReading, TagWithoutContactOrOfAnotherType) {
    struct Case {
        const char* what;
        SimTag tag;
        SimReadingFormat format;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"FDX-B without contact",
         tag(4, 250, 228000000123ULL),
         SimReadingFormat::packed,
         {"readerScanning 1", "scanReceived 250 228000000123 pending=1",
          "scanReceived 250 228000000123 pending=0 contact=none", "readerScanning 0"}},
        {"HDX",
         tag(1, 124, 1234),
         SimReadingFormat::text,
         {"readerScanning 1", "scanFailed", "readerScanning 0"}},
        {"EM4102",
         tag(6, 0, 42),
         SimReadingFormat::packed,
         {"readerScanning 1", "scanFailed", "readerScanning 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimReaderConfig config;
        config.tags = {c.tag};
        Session s(config);
        ASSERT_TRUE(s.connect());
        s.host().clear();
        s.reader().triggerReading(c.format);
        ASSERT_TRUE(s.runUntil([&] { return s.host().count("readerScanning 0") == 1; }, 30));
        s.run(25.0);  // nothing more comes, also not from a contact timer
        EXPECT_EQ(s.host().events(), c.events);
    }
}

TEST(Export, ThousandStoredReadingsArriveOnceEachInOrder) {
    std::vector<SimTag> readings;
    for (std::uint64_t i = 1; i <= 1000; ++i) {
        readings.push_back(tag(static_cast<std::int8_t>(1 + i % 6),
                               static_cast<std::uint16_t>(i % 1000), 100000 + i));
    }
    for (std::size_t size : {20u, 244u}) {
        SCOPED_TRACE(size);
        SimReaderConfig config;
        config.notificationSize = size;
        config.storedReadings = readings;
        Session s(config);
        ASSERT_TRUE(s.connect());
        s.host().clear();
        s.reader().exportReadings();
        ASSERT_TRUE(s.runUntil([&] { return s.host().exports().size() >= 1000; }, 120));
        s.run(10.0);
        const auto exports = s.host().exports();
        ASSERT_EQ(exports.size(), 1000u);
        for (std::size_t i = 0; i < exports.size(); ++i) {
            SCOPED_TRACE(i);
            // Record numbers are three digits: 1 to 999, then 1000 comes as 000.
            EXPECT_EQ(exports[i].number, static_cast<long>((i + 1) % 1000));
            EXPECT_EQ(exports[i].id(), readings[i].id());
            EXPECT_EQ(exports[i].type(), readings[i].type);
            EXPECT_EQ(exports[i].contact(), "none");
        }
        EXPECT_EQ(s.host().events().size(), 1000u);
        EXPECT_TRUE(s.link().isConnected());
    }
}

}  // namespace
