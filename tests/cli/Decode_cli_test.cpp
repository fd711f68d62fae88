// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/RunCli.hpp"

using nlohmann::json;
using orvex::test::lineCount;
using orvex::test::runCli;

namespace {

json decode(const std::string& hex) {
    const auto r = runCli({"decode", hex});
    EXPECT_EQ(r.exitCode, 0) << hex << ": " << r.err;
    EXPECT_EQ(lineCount(r.out), 1) << hex;
    return r.exitCode == 0 ? json::parse(r.out) : json();
}

// Hex of ASCII text.
std::string hexOf(std::string_view text) {
    std::string out;
    static const char* digits = "0123456789ABCDEF";
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

const std::string kTextScan = "55 " + hexOf("FDXB    999 000000012345") + "0D 0A 01 02 03 04";

TEST(CliDecode, ScanMessages) {
    EXPECT_EQ(decode("88 04 03 E7 39 30 00 00 00"), json({{"kind", "packedScan"},
                                                          {"type", 4},
                                                          {"typeName", "FDXB"},
                                                          {"id", "999 000000012345"}}));
    EXPECT_EQ(decode("8F 01 00 7C D2 04 00 00 00 FF"), json({{"kind", "packedScan"},
                                                             {"type", 1},
                                                             {"typeName", "HDX"},
                                                             {"id", "124 000000001234"}}));
    EXPECT_EQ(decode("8F 80 04 00 FF FF FF FF FF"), json({{"kind", "packedScan"},
                                                          {"type", 0},
                                                          {"typeName", "UNKNOWN"},
                                                          {"id", "999 1099511627775"}}));
    EXPECT_EQ(
        decode(kTextScan),
        json(
            {{"kind", "textScan"}, {"type", 4}, {"typeName", "FDXB"}, {"id", "999 000000012345"}}));
    // Bytes above 7F are characters U+0080..U+00FF.
    EXPECT_EQ(decode("55 " + hexOf("HDX     ") + "E9 " + hexOf("000000000000000") +
                     "00 00 00 00 00 00")["id"],
              "\u00E9000000000000000");
}

TEST(CliDecode, StatusMessages) {
    EXPECT_EQ(decode("55 51 58 2C 53 42"),
              json({{"kind", "status"}, {"active", true}, {"state", "B"}}));
    EXPECT_EQ(decode("55 51 58 2C 53 45 88"),
              json({{"kind", "status"}, {"active", false}, {"state", "E"}}));
    EXPECT_EQ(decode("55 51 58 2C 53 58")["active"], nullptr);
}

TEST(CliDecode, ExportContactBatteryVersionAndCheckAnswer) {
    const std::string exportRecord = "AA 31 32 00 20 20 " + kTextScan;
    EXPECT_EQ(decode(exportRecord), json({{"kind", "export"},
                                          {"number", 12},
                                          {"type", 4},
                                          {"typeName", "FDXB"},
                                          {"id", "999 000000012345"}}));
    EXPECT_EQ(decode("AA 00 00 00 00 00 " + kTextScan + " AA")["number"], -1);

    const std::string record =
        "00 1E 89 BC 91 20 16 72 52 EA BC 51 FF 30 4E 0C 7C 50 B8 07 56 2F F8";
    EXPECT_EQ(decode("10 " + record + " B2"), json({{"kind", "contact"},
                                                    {"valid", true},
                                                    {"phone", "0123"},
                                                    {"name", "AB"}}));
    EXPECT_EQ(decode("10 " + record + " B3"), json({{"kind", "contact"}, {"valid", false}}));

    for (auto [raw, level] :
         {std::pair{"00", 0}, {"43", 50}, {"85", 99}, {"86", 100}, {"FF", 100}}) {
        EXPECT_EQ(decode(std::string("8E ") + raw + " 00"),
                  json({{"kind", "battery"}, {"level", level}}));
    }

    EXPECT_EQ(decode("87 41 42 00"), json({{"kind", "version"}, {"text", "AB"}}));
    EXPECT_EQ(decode("87 " + hexOf("KESTRALON KX100 MOBILE 1.2") + "00")["text"], "KX100-M 1.2");
    EXPECT_EQ(decode("87 41 FF 00 43")["text"], "A\uFFFD");

    EXPECT_EQ(decode("84 00 01"), json({{"kind", "checkAnswer"}, {"current", true}}));
    EXPECT_EQ(decode("84 00 02"), json({{"kind", "checkAnswer"}, {"current", false}}));
}

TEST(CliDecode, UnknownOrShortMessagesAreOneLineAndExitTwo) {
    const std::string shortText = kTextScan.substr(0, kTextScan.size() - 3);  // 30 bytes
    for (const std::string hex :
         {"", "7E", "80", "00 01", "88 04 03 E7 39 30 00 00", "8F", shortText.c_str(),
          "55 51 58 2C 53", "AA 31 32", "10 00", "8E 43", "87 41 42", "84 00", "88 0", "8G",
          "88 04 03 E7 39 30 00 00 00 -"}) {
        const auto r = runCli({"decode", hex});
        EXPECT_EQ(r.exitCode, 2) << hex;
        EXPECT_EQ(lineCount(r.err), 1) << hex << ": " << r.err;
        EXPECT_EQ(r.out, "") << hex;
    }
}

}  // namespace
