// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/RunCli.hpp"

using orvex::test::lineCount;
using orvex::test::runCli;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliDemo, PipedRunShowsEveryPartAsPlainLinesAndExitsZero) {
    const auto r = runCli({"demo", "--delay", "0.005"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(has(r.out, "\x1b")) << "no escape sequences when not on a terminal";
    EXPECT_FALSE(has(r.out, "\r"));
    for (const char* line : {
             "[ok] Bluetooth: adapter powered on",
             "[ok] Discovery: 8 devices nearby",
             "KX-BT4 SIM (the reader)",
             "[ok] Connection: KX-BT4 SIM",
             "[ok] Version: KX100-M 2.4.1",
             "[..] Micro app: 50% (32/64 slices)",
             "[ok] Micro app: updated: 64 slices",
             "[ok] Battery: 89%",
             "[ok] Reading: FDXB  999 000000012345",
             "owner contact  +44 7946 0001 / OWNER@EXAMPLE.COM",
             "[ok] Contact write: +44 7946 0999 / NEW.OWNER@EXAMPLE.ORG  to 999 000000012345",
             "[ok] Read back: +44 7946 0999 / NEW.OWNER@EXAMPLE.ORG  (matches)",
             "[ok] Trigger reading: FDXB  999 000000012345",
             "[ok] Export: 4 stored readings",
             "3  EM4102  000 000305419896",
             "[ok] Disconnected",
             "Done in",
         }) {
        EXPECT_TRUE(has(r.out, line)) << "missing: " << line << "\n" << r.out;
    }
    EXPECT_FALSE(has(r.out, "[failed]")) << r.out;
}

TEST(CliDemo, PartsPickWhatRuns) {
    // Tiny notifications split every answer; the reading and its contact still come whole.
    const auto r =
        runCli({"demo", "--delay", "0.005", "--parts", "scan,export", "--notification-size", "6"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "[ok] Connection"));
    EXPECT_TRUE(has(r.out, "owner contact  +44 7946 0001 / OWNER@EXAMPLE.COM"));
    // Without the trigger reading the reader holds its three stored readings.
    EXPECT_TRUE(has(r.out, "[ok] Export: 3 stored readings"));
    EXPECT_TRUE(has(r.out, "[ok] Disconnected"));
    for (const char* absent : {"Micro app", "Battery", "Contact write", "Trigger"}) {
        EXPECT_FALSE(has(r.out, absent)) << absent;
    }
}

TEST(CliDemo, BadOptionsAreOneLineAndExitTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"demo", "--parts", "scan,juggle"},
             {"demo", "--delay", "-1"},
             {"demo", "--fault-rate", "2"},
             {"demo", "--notification-size", "abc"},
             {"demo", "--sim"},
         }) {
        const auto r = runCli(args);
        EXPECT_EQ(r.exitCode, 2) << args[1];
        EXPECT_EQ(lineCount(r.err), 1) << r.err;
        EXPECT_EQ(r.out, "") << args[1];
    }
}

}  // namespace
