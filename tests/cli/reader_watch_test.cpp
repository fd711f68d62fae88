// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliProcess.hpp"

namespace {

using WatchProcess = orvex::test::CliProcess;

TEST(CliWatch, PrintsJsonLinesUntilASignalThenExitsZero) {
    for (const int signal : {SIGINT, SIGTERM}) {
        WatchProcess watch({"watch", "--sim", "--json", "--delay", "0.005", "--sim-export",
                            "--sim-trigger-every", "0.2"});
        ASSERT_TRUE(watch.waitForLine("\"event\":\"reading\"", 30.0)) << signal;
        EXPECT_EQ(watch.stop(signal), 0) << signal;

        std::vector<std::string> events;
        for (const auto& line : watch.lines) {
            const auto json = nlohmann::json::parse(line);  // every line is one JSON object
            events.push_back(json.at("event"));
            if (json["event"] == "reading") {
                EXPECT_EQ(json["id"], "999 000000012345");
                EXPECT_EQ(json["contact"]["phone"], "+44 7946 0001");
            }
            if (json["event"] == "export") {
                EXPECT_TRUE(json["number"].is_number());
            }
        }
        ASSERT_GE(events.size(), 7u);
        EXPECT_EQ(events[0], "connected");
        EXPECT_EQ(events[1], "battery");
        // The three stored readings, then the trigger reading with its scanning status.
        EXPECT_EQ(std::vector<std::string>(events.begin() + 2, events.begin() + 7),
                  (std::vector<std::string>{"export", "export", "export", "scanning", "reading"}));
    }
}

TEST(CliWatch, JsonLinesCarryTheUtcTime) {
    WatchProcess watch({"watch", "--sim", "--json", "--delay", "0.005"});
    ASSERT_TRUE(watch.waitForLine("\"event\":\"battery\"", 30.0));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    ASSERT_FALSE(watch.lines.empty());
    for (const auto& line : watch.lines) {
        const std::string time = nlohmann::json::parse(line).at("time");
        // 2026-12-10T13:45:07.123Z
        ASSERT_EQ(time.size(), 24u) << time;
        EXPECT_EQ(time[4], '-');
        EXPECT_EQ(time[10], 'T');
        EXPECT_EQ(time[19], '.');
        EXPECT_EQ(time.back(), 'Z');
    }
}

TEST(CliWatch, SeveralReadersEachLineLabelledWithItsReader) {
    const std::string a = "C4:00:00:00:00:0A";
    const std::string b = "C4:00:00:00:00:0B";
    WatchProcess watch({"watch", "--sim", "--json", "--delay", "0.005", "--address", a,
                        "--address", b, "--sim-trigger-every", "0.2"});
    // A reading from each reader (they are triggered together).
    ASSERT_TRUE(watch.waitForLine("\"event\":\"reading\"", 30.0));
    ASSERT_TRUE(watch.waitForLine("\"event\":\"reading\"", 30.0));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    std::vector<std::string> connected;
    for (const auto& line : watch.lines) {
        const auto json = nlohmann::json::parse(line);
        const std::string reader = json.at("reader");
        EXPECT_TRUE(reader == a || reader == b) << line;
        if (json["event"] == "connected") connected.push_back(reader);
    }
    EXPECT_EQ(connected, (std::vector<std::string>{a, b}));
}

TEST(CliWatch, TextLinesCarryTheTimeOfDay) {
    WatchProcess watch({"watch", "--sim", "--delay", "0.005", "--sim-trigger-every", "0.2"});
    ASSERT_TRUE(watch.waitForLine("reading", 30.0));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    ASSERT_GE(watch.lines.size(), 3u);
    EXPECT_EQ(watch.lines[0].substr(8), "  connected  KX100-M 2.4.1");
    for (const auto& line : watch.lines) {
        EXPECT_EQ(line[2], ':') << line;
        EXPECT_EQ(line[5], ':') << line;
    }
}

}  // namespace
