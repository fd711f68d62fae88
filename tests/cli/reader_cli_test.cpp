// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/RunCli.hpp"

using orvex::test::CliResult;
using orvex::test::lineCount;
using orvex::test::runCli;

namespace {

using Args = std::vector<std::string>;

// A quick simulated reader for every command.
Args sim(Args args) {
    for (const char* extra : {"--sim", "--delay", "0.005"}) args.push_back(extra);
    return args;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void expectOneErrorLine(const CliResult& r, int exitCode, const std::string& what) {
    EXPECT_EQ(r.exitCode, exitCode) << what << ": " << r.err;
    EXPECT_EQ(lineCount(r.err), 1) << what << ": " << r.err;
    EXPECT_EQ(r.out, "") << what;
}

TEST(CliScan, JsonHoldsTheTagAndItsContact) {
    const auto r = runCli(sim({"scan", "--json"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(lineCount(r.out), 1);
    const auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["id"], "999 000000012345");
    EXPECT_EQ(json["type"], 4);
    EXPECT_EQ(json["typeName"], "FDXB");
    EXPECT_EQ(json["contact"]["phone"], "+44 7946 0001");
    EXPECT_EQ(json["contact"]["name"], "OWNER@EXAMPLE.COM");
}

TEST(CliScan, TextNamesTagAndContact) {
    const auto r = runCli(sim({"scan", "--notification-size", "7"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "tag      FDXB 999 000000012345\n"
              "contact  +44 7946 0001 / OWNER@EXAMPLE.COM\n");
}

TEST(CliScan, NoTagInTheFieldExitsOne) {
    for (const bool json : {false, true}) {
        Args args = sim({"scan", "--sim-no-tag"});
        if (json) args.push_back("--json");
        expectOneErrorLine(runCli(args), 1, json ? "json" : "text");
    }
}

TEST(CliInfo, ShowsVersionAndBattery) {
    const auto text = runCli(sim({"info"}));
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out, "version  KX100-M 2.4.1\nbattery  89%\n");

    const auto json = runCli(sim({"info", "--json"}));
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out),
              (nlohmann::json{{"version", "KX100-M 2.4.1"}, {"battery", 89}}));
}

TEST(CliWriteContact, WritesToTheTagInTheField) {
    const auto r = runCli(sim({"write-contact", "--tag", "999 000000012345", "--phone",
                               "+44 7946 0999", "--email", "new.owner@example.org"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "contact written to 999 000000012345\n");
    EXPECT_EQ(r.err, "");
}

TEST(CliWriteContact, AnotherTagIsRefusedWithExitOne) {
    const Args wrong = {"write-contact", "--tag", "999 000000054321", "--phone", "0123",
                        "--email",       "a@b.c"};
    expectOneErrorLine(runCli(sim(wrong)), 1, "text");
    EXPECT_TRUE(has(runCli(sim(wrong)).err, "wrongChip"));

    Args json = sim(wrong);
    json.push_back("--json");
    const auto r = runCli(json);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(
        nlohmann::json::parse(r.out),
        (nlohmann::json{{"success", false}, {"status", "wrongChip"}, {"tag", "999 000000054321"}}));
}

TEST(CliReader, EveryWaitIsBounded) {
    // No reader answers to this name: the connection wait gives up after --timeout.
    const auto r = runCli(sim({"info", "--sim-name", "NOBODY", "--timeout", "0.5"}));
    expectOneErrorLine(r, 1, "timeout");
    EXPECT_TRUE(has(r.err, "timed out after 0.5 s")) << r.err;
}

TEST(CliReader, BadArgumentsAreOneLineAndExitTwo) {
    const Args good = {"--tag", "999 000000012345", "--phone", "0123", "--email", "a@b.c"};
    auto write = [&](std::size_t replace, const std::string& value) {
        Args args = sim({"write-contact"});
        args.insert(args.end(), good.begin(), good.end());
        args[4 + replace] = value;
        return args;
    };
    const std::vector<std::pair<std::string, Args>> cases = {
        {"tag too short", write(1, "999 12345")},
        {"tag with letters", write(1, "999 00000001234X")},
        {"phone with letters", write(3, "01a3")},
        {"phone too long", write(3, "+1234567890123")},
        {"email too long", write(5, "abcdefghijklmnopqrstuvwxyz")},
        {"email with a comma", write(5, "a,b@c")},
        {"missing --email", sim({"write-contact", "--tag", "999 000000012345", "--phone", "1"})},
        {"knob without --sim", {"scan", "--delay", "0.1"}},
        {"adapter with --sim", sim({"scan", "--adapter", "hci0"})},
        {"delay out of range", sim({"scan", "--delay", "9"})},
        {"notification size", sim({"info", "--notification-size", "3"})},
        {"timeout zero", sim({"info", "--timeout", "0"})},
        {"unknown option", sim({"watch", "--loud"})},
        {"json on nothing", {"info", "--json", "extra"}},
        {"malformed address", sim({"scan", "--address", "C4:00:00:00:00"})},
        {"two addresses for one reader", sim({"scan", "--address", "C4:00:00:00:00:01",
                                              "--address", "C4:00:00:00:00:02"})},
        {"unknown command", {"scna", "--sim"}},
    };
    for (const auto& [what, args] : cases) expectOneErrorLine(runCli(args), 2, what);
}

TEST(CliReader, AnUnknownCommandIsNamed) {
    const auto r = runCli({"frobnicate"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "orvex: unknown command frobnicate (see orvex --help)\n");
}

TEST(CliReader, AddressPicksThatReader) {
    // The simulated reader takes the address given, and the link looks for it alone.
    auto r = runCli(sim({"info", "--json", "--address", "c4:00:00:00:00:07"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["battery"], 89);
}

TEST(CliReader, VerbosityLogsOnStandardErrorOnly) {
    struct Case {
        Args flags;
        const char* present;  // a line this level shows
        const char* absent;   // a line of the next level, which it does not show
    };
    const Case cases[] = {
        {{}, nullptr, "orvex ["},
        {{"-v"}, "orvex [info] connected to KX-BT4 SIM", "orvex [debug]"},
        {{"-vv"}, "orvex [debug] timer armed", "orvex [trace]"},
        {{"--trace"}, "orvex [trace] write to KX-BT4 SIM", nullptr},
    };
    for (const auto& c : cases) {
        Args args = sim({"info", "--json"});
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        const auto r = runCli(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(lineCount(r.out), 1) << r.out;  // the log never reaches standard output
        if (c.present) {
            EXPECT_TRUE(has(r.err, c.present)) << r.err;
        }
        if (c.absent) {
            EXPECT_FALSE(has(r.err, c.absent)) << r.err;
        }
    }
}

TEST(CliList, ShowsEveryDeviceAndMarksTheReaders) {
    const auto r = runCli({"list", "--sim", "--json", "--duration", "0.5", "--sim-address",
                           "C4:00:00:00:00:0A", "--sim-address", "C4:00:00:00:00:0B"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> readers;
    int others = 0;
    for (std::size_t start = 0; start < r.out.size();) {
        const auto end = r.out.find('\n', start);
        const auto json = nlohmann::json::parse(r.out.substr(start, end - start));
        start = end + 1;
        EXPECT_TRUE(json["rssi"].is_number());
        EXPECT_EQ(json["address"].get<std::string>().size(), 17u);
        if (json["reader"]) {
            readers.push_back(json["address"]);
            EXPECT_EQ(json["name"], "KX-BT4 SIM");
        } else {
            ++others;
        }
    }
    std::sort(readers.begin(), readers.end());
    EXPECT_EQ(readers, (std::vector<std::string>{"C4:00:00:00:00:0A", "C4:00:00:00:00:0B"}));
    EXPECT_GT(others, 0);
}

TEST(CliReader, WithoutSimAndNoBluetoothExitsTwo) {
    // No system bus to be found here, whatever the machine has.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvex-test-bus", 1);
    for (const char* command : {"scan", "info", "watch"}) {
        expectOneErrorLine(runCli({command}), 2, command);
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
