// SPDX-License-Identifier: Apache-2.0
// The one framing rule: the reader's byte stream, in whatever notifications it comes, is cut
// into whole messages by lead byte and length, and nothing is read from inside a message.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "reader/MessageFramer.hpp"

namespace orvex::detail {
namespace {

std::string kindName(MessageKind kind) {
    switch (kind) {
        case MessageKind::contact: return "contact";
        case MessageKind::contactWritten: return "contactWritten";
        case MessageKind::contactNotWritten: return "contactNotWritten";
        case MessageKind::status: return "status";
        case MessageKind::textReading: return "textReading";
        case MessageKind::noResult: return "noResult";
        case MessageKind::negative: return "negative";
        case MessageKind::ack: return "ack";
        case MessageKind::lockAck: return "lockAck";
        case MessageKind::sliceAck: return "sliceAck";
        case MessageKind::unlockAck: return "unlockAck";
        case MessageKind::microAppCheck: return "microAppCheck";
        case MessageKind::version: return "version";
        case MessageKind::requestedReading: return "requestedReading";
        case MessageKind::battery: return "battery";
        case MessageKind::reading: return "reading";
        case MessageKind::exportRecord: return "exportRecord";
    }
    return "?";
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kTextReading = join({{0x55}, text("FDXB    999 000000012345    "), {0x0D, 0x0A}});
const Bytes kExportRecord = join({{0xAA}, text("001"), {0x00, 0x00}, kTextReading});

struct Case {
    std::string name;
    std::vector<Bytes> notifications;
    // Each message as "kind" and, for a short one, its bytes in hex.
    std::vector<std::string> expected;
    std::size_t leftOver = 0;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string describe(const Message& m) {
    if (m.bytes.size() > 9) return fmt::format("{} of {} bytes", kindName(m.kind), m.bytes.size());
    return fmt::format("{} {:02X}", kindName(m.kind), fmt::join(m.bytes, " "));
}

class MessageFraming : public ::testing::TestWithParam<Case> {};

TEST_P(MessageFraming, CutsTheStreamIntoWholeMessages) {
    const Case& c = GetParam();
    MessageFramer framer;
    std::vector<std::string> got;
    for (const auto& n : c.notifications) {
        framer.push(n, [&](const Message& m) { got.push_back(describe(m)); });
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(framer.buffered(), c.leftOver);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageFraming,
    ::testing::Values(
        Case{"aMessageSplitOverNotificationsComesOnceWhole",
             {{0x8E}, {0x43}, {0x00, 0x8F, 0x04, 0x03}, {0xE7, 0x39, 0x30, 0x00, 0x00, 0x00}},
             {"battery 8E 43 00", "reading 8F 04 03 E7 39 30 00 00 00"}},
        Case{"severalMessagesInOneNotificationComeInOrder",
             {{0x80, 0x87, 0x41, 0x42, 0x00, 0x84, 0x00, 0x01, 0x7E, 0x7F}},
             {"ack 80", "version 87 41 42 00", "microAppCheck 84 00 01", "noResult 7E",
              "negative 7F"}},
        Case{"bytesThatStartNoMessageAreDroppedOneAtATime",
             {{0x01, 0x3C, 0xC3, 0x5A, 0x84, 0x00, 0x01}},
             {"microAppCheck 84 00 01"}},
        Case{"aCodeInsideAReadingIsPartOfTheReading",
             {{0x8F, 0x04, 0x03, 0xE7, 0x87, 0x41, 0x00, 0x00, 0x00}, {0x87, 0x42, 0x00}},
             {"reading 8F 04 03 E7 87 41 00 00 00", "version 87 42 00"}},
        Case{"aStatusMessageMayBeSplitAndHaveAMessageBehindIt",
             {{0x55, 0x51, 0x58}, {0x2C, 0x53, 0x45, 0x8E, 0x43}, {0x00}},
             {"status 55 51 58 2C 53 45", "battery 8E 43 00"}},
        Case{"aTextReadingCutShortByAStatusMessageGivesWayToIt",
             {{0x55, 0x46, 0x44, 0x58, 0x42, 0x20, 0x20, 0x20, 0x20},
              {0x55, 0x51, 0x58, 0x2C, 0x53, 0x42},
              {0x7E}},
             {"status 55 51 58 2C 53 42", "noResult 7E"}},
        Case{"aTextReadingIsThirtyOneBytesWhateverFollows",
             {join({kTextReading, {0x7E}})},
             {"textReading of 31 bytes", "noResult 7E"}},
        Case{"exportRecordsInARowComeTogetherAndATailWaits",
             {join({kExportRecord, kExportRecord, {0xAA, 0x30}})},
             {"exportRecord of 74 bytes"},
             2},
        Case{"aVersionTextWithoutItsZeroByteIsDroppedAtTheLongestMessage",
             {join({{0x87}, Bytes(VERSION_MAX_SIZE, 0x41), {0x8E, 0x43, 0x00}})},
             {"battery 8E 43 00"}},
        Case{"recordsAcrossNotificationsOfAnotherSizeComeOnceEach",
             {Bytes(kExportRecord.begin(), kExportRecord.begin() + 20),
              join({Bytes(kExportRecord.begin() + 20, kExportRecord.end()), kExportRecord,
                    Bytes(kExportRecord.begin(), kExportRecord.begin() + 10)}),
              join({Bytes(kExportRecord.begin() + 10, kExportRecord.end()), {0x80}})},
             {"exportRecord of 74 bytes", "exportRecord of 37 bytes", "ack 80"}},
        Case{"aLongNotificationAfterAHalfMessageIsReadWhole",
             {{0x8E, 0x43}, join({{0x00}, Bytes(200, 0x3C), {0x80}})},
             {"battery 8E 43 00", "ack 80"}},
        Case{"aContactRecordTakesTwentyFiveBytesWhateverTheyHold",
             {join({{0x10}, Bytes(24, 0x80)}), {0x80}},
             {"contact of 25 bytes", "ack 80"}}),
    [](const auto& info) { return info.param.name; });

TEST(MessageFramer, ASinkThatClearsTheFramerEndsTheDelivery) {
    MessageFramer framer;
    std::vector<MessageKind> got;
    framer.push(Bytes{0x80, 0x7E, 0x8E, 0x43}, [&](const Message& m) {
        got.push_back(m.kind);
        framer.clear();
    });
    EXPECT_EQ(got, std::vector<MessageKind>{MessageKind::ack});
    EXPECT_EQ(framer.buffered(), 0u);
}

}  // namespace
}  // namespace orvex::detail
