// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/RunCli.hpp"

using orvex::test::lineCount;
using orvex::test::runCli;

namespace {

const char* kRecord = "00 1E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8 B2";

TEST(CliContactEncode, PrintsTheRecordAsSpacedUpperCaseHex) {
    const auto r = runCli({"contact", "encode", "0123", "ab"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kRecord) + "\n");
    EXPECT_EQ(r.err, "");

    EXPECT_EQ(runCli({"contact", "encode", "", ""}).out,
              "62 61 8C 93 88 D3 F3 36 C2 C4 82 57 91 6F CE 0C 7C B1 3E DA B8 E8 96 90\n");
}

TEST(CliContactEncode, DoubleDashLetsTextsStartWithADash) {
    const auto r = runCli({"contact", "encode", "--", "-(12)", "--x"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The record holds the texts themselves: decoding it gives them back.
    std::string hex = r.out.substr(0, r.out.size() - 1);
    const auto d = runCli({"contact", "decode", hex});
    ASSERT_EQ(d.exitCode, 0) << d.err;
    const auto json = nlohmann::json::parse(d.out);
    EXPECT_EQ(json["phone"], "  12        ");
    EXPECT_EQ(json["name"], "--X                      ");
}

TEST(CliContactEncode, WrongArgumentCountIsOneLineAndExitTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"contact", "encode", "1"}, {"contact", "encode", "1", "a", "extra"}, {"contact"}}) {
        const auto r = runCli(args);
        EXPECT_EQ(r.exitCode, 2) << args.size();
        EXPECT_EQ(lineCount(r.err), 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(CliContactDecode, PrintsPhoneAndNameWithTheirSpaces) {
    // One argument with spaces, several arguments, no spaces, lower case, extra bytes.
    const std::vector<std::vector<std::string>> forms = {
        {"contact", "decode", kRecord},
        {"contact", "decode", "00", "1E", "89", "BC", "91", "20", "16", "72", "52", "EA", "BC",
         "51", "FF", "30", "4E", "0C", "7C 50 B8 07 56 2F F8 B2"},
        {"contact", "decode", "001e89bc9120167252eabc51ff304e0c7c50b807562ff8b2"},
        {"contact", "decode", std::string(kRecord) + " 01 02 03"},
    };
    for (const auto& args : forms) {
        const auto r = runCli(args);
        ASSERT_EQ(r.exitCode, 0) << args[2] << ": " << r.err;
        EXPECT_EQ(lineCount(r.out), 1);
        const auto json = nlohmann::json::parse(r.out);
        EXPECT_EQ(json.size(), 2u);
        EXPECT_EQ(json["phone"], "0123        ");
        EXPECT_EQ(json["name"], "AB                       ");
    }
}

TEST(CliContactDecode, BadChecksumExitsOneAndBadInputExitsTwo) {
    struct Case {
        std::string hex;
        int exitCode;
    };
    const Case cases[] = {
        {"00 1E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8 B3", 1},
        {"0 01E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8 B2",
         2},  // odd groups
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 1},
        {"00 1E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8", 2},  // 23
        {"00 1E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8 BZ", 2},
        {"0x00", 2},
        {"0", 2},
        {"", 2},
    };
    for (const auto& c : cases) {
        const auto r = runCli({"contact", "decode", c.hex});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.hex;
        EXPECT_EQ(lineCount(r.err), 1) << c.hex << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.hex;
    }
}

}  // namespace
