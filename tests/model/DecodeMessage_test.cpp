// SPDX-License-Identifier: Apache-2.0
// The public decoder of single reader messages, as a host uses it on logged bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "orvex/Message.hpp"

using orvex::decodeMessage;
using orvex::MessageKind;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes withText(Bytes lead, std::string_view text, Bytes tail = {}) {
    lead.insert(lead.end(), text.begin(), text.end());
    lead.insert(lead.end(), tail.begin(), tail.end());
    return lead;
}

std::string idOf(const orvex::ReaderMessage& m) {
    return m.reading.scan && m.reading.scan->xpdr ? m.reading.scan->xpdr->id : "<none>";
}

TEST(DecodeMessage, ReadingsCarryTheTagAndExportsTheirNumber) {
    const auto packed = decodeMessage(Bytes{0x88, 0x04, 0x03, 0xE7, 0x39, 0x30, 0, 0, 0});
    ASSERT_TRUE(packed.message) << packed.error;
    EXPECT_EQ(packed.message->kind, MessageKind::packedScan);
    EXPECT_EQ(idOf(*packed.message), "999 000000012345");

    const auto text = decodeMessage(withText({0x55}, "FDXB    999 000000012345", {0x0D, 0x0A, 1, 2, 3, 4}));
    ASSERT_TRUE(text.message) << text.error;
    EXPECT_EQ(text.message->kind, MessageKind::textScan);
    EXPECT_EQ(idOf(*text.message), "999 000000012345");

    const auto exported = decodeMessage(withText({0xAA, '0', '0', '9', 0, 0, 0x55},
                                                 "FDXB    999 000000012345",
                                                 {0x0D, 0x0A, 0, 0, 0, 0}));
    ASSERT_TRUE(exported.message) << exported.error;
    EXPECT_EQ(exported.message->kind, MessageKind::exportRecord);
    EXPECT_EQ(idOf(*exported.message), "999 000000012345");
    EXPECT_EQ(exported.message->number, 9);
}

TEST(DecodeMessage, StatusBatteryVersionAndCheckAnswers) {
    const auto begin = decodeMessage(withText({0x55}, "QX,SB"));
    ASSERT_TRUE(begin.message);
    EXPECT_EQ(begin.message->kind, MessageKind::scanStatus);
    EXPECT_EQ(begin.message->scanning, true);
    const auto other = decodeMessage(withText({0x55}, "QX,SX"));
    ASSERT_TRUE(other.message);
    EXPECT_FALSE(other.message->scanning.has_value());
    EXPECT_EQ(other.message->text, "X");

    const auto battery = decodeMessage(Bytes{0x8E, 0x43, 0x00});
    ASSERT_TRUE(battery.message);
    EXPECT_EQ(battery.message->batteryLevel, 50);

    const auto version = decodeMessage(Bytes{0x87, 'K', 'X', 0x00});
    ASSERT_TRUE(version.message);
    EXPECT_EQ(version.message->text, "KX");

    const auto current = decodeMessage(Bytes{0x84, 0x00, 0x01});
    ASSERT_TRUE(current.message);
    EXPECT_TRUE(current.message->microAppCurrent);
    EXPECT_STREQ(orvex::to_string(current.message->kind), "microAppCheck");
}

TEST(DecodeMessage, AContactWithABadChecksumDecodesToNoContact) {
    Bytes answer(25, 0x00);
    answer[0] = 0x10;
    answer[24] = 0x5A;
    const auto decoded = decodeMessage(answer);
    ASSERT_TRUE(decoded.message) << decoded.error;
    EXPECT_EQ(decoded.message->kind, MessageKind::contact);
    EXPECT_EQ(decoded.message->contact, nullptr);
}

struct Refused {
    const char* name;
    Bytes bytes;
    const char* error;
};

class DecodeMessageRefuses : public testing::TestWithParam<Refused> {};

TEST_P(DecodeMessageRefuses, WithTheReason) {
    const auto decoded = decodeMessage(GetParam().bytes);
    EXPECT_FALSE(decoded.message);
    EXPECT_EQ(decoded.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DecodeMessageRefuses,
    testing::Values(Refused{"nothing", {}, "no bytes given"},
                    Refused{"a_short_packed_scan", {0x88, 0x04}, "packed scan message needs 9 bytes, got 2"},
                    Refused{"a_short_export", {0xAA, 0x30}, "export message needs 37 bytes, got 2"},
                    Refused{"a_short_contact", {0x10, 0x00, 0x01}, "contact message needs 25 bytes, got 3"},
                    Refused{"a_version_without_its_end", {0x87, 'K', 'X'},
                            "version message has no terminating 00 byte"},
                    Refused{"an_unknown_lead_byte", {0x42, 0x00}, "unknown message code 42"}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever the bytes, the decoder answers: a message or a reason, never both, never a crash.
TEST(DecodeMessage, AnyBytesGiveAMessageOrAReason) {
    std::mt19937 random(7);
    const std::uint8_t leads[] = {0x88, 0x8F, 0x55, 0xAA, 0x10, 0x8E, 0x87, 0x84, 0x00, 0xFF};
    for (int i = 0; i < 20000; ++i) {
        Bytes bytes(random() % 48);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        if (!bytes.empty()) bytes[0] = leads[random() % std::size(leads)];
        const auto decoded = decodeMessage(bytes);
        EXPECT_NE(decoded.message.has_value(), !decoded.error.empty());
    }
}

}  // namespace
