// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "reader/Messages.hpp"

using namespace orvex::detail;
using orvex::ScanResult;

namespace {

Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(PackedScan, DecodesTypeCountryAndNationalNumber) {
    struct Case {
        Bytes record;
        int type;
        const char* id;
    };
    const Case cases[] = {
        {{0x88, 0x04, 0x03, 0xE7, 0x39, 0x30, 0x00, 0x00, 0x00}, 4, "999 000000012345"},
        {{0x8F, 0x01, 0x00, 0x7C, 0xD2, 0x04, 0x00, 0x00, 0x00}, 1, "124 000000001234"},
        {{0x8F, 0x06, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 6, "999 000000000000"},  // 1024
        {{0x8F, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00}, 0, "001 000000000001"},
        {{0x8F, 0x07, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x01}, 0, "999 004294967296"},
        {{0x8F, 0x80, 0x03, 0xE6, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "998 1099511627775"},
        {{0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "999 1099511627775"},
        // Bytes after the ninth are ignored.
        {{0x88, 0x05, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFF, 0xFF},
         5,
         "000 000000000002"},
    };
    for (const auto& c : cases) {
        const ScanResult r = decodePackedScan(c.record, 42.5);
        ASSERT_TRUE(r.scan && r.scan->xpdr);
        EXPECT_EQ(r.scan->xpdr->type, c.type) << c.id;
        EXPECT_EQ(r.scan->xpdr->id, c.id);
        EXPECT_EQ(r.scan->date, 42.5);
        EXPECT_EQ(r.contact, nullptr);
    }
}

TEST(PackedScan, ShortBufferGivesEmptyResult) {
    for (std::size_t n = 0; n < 9; ++n) {
        const ScanResult r = decodePackedScan(Bytes(n, 0x88), 1.0);
        EXPECT_EQ(r.scan, nullptr) << n;
        EXPECT_EQ(r.contact, nullptr) << n;
    }
}

const Bytes kTextRecord =
    concat({{0x55}, ascii("FDXB    "), ascii("999 000000012345"), ascii("\r\n\x01\x02\x03\x04")});

TEST(TextScan, DecodesTypeAndIdentifier) {
    ASSERT_EQ(kTextRecord.size(), 31u);
    const ScanResult r = decodeTextScan(kTextRecord, 7.0);
    ASSERT_TRUE(r.scan && r.scan->xpdr);
    EXPECT_EQ(r.scan->xpdr->type, 4);
    EXPECT_EQ(r.scan->xpdr->id, "999 000000012345");
    EXPECT_EQ(r.scan->date, 7.0);
    EXPECT_EQ(r.contact, nullptr);
}

TEST(TextScan, ExtraBytesLengthenTheIdentifier) {
    Bytes record = kTextRecord;
    record.push_back('X');
    record.push_back('Y');
    const ScanResult r = decodeTextScan(record, 0);
    // The last six bytes are left out whatever their count: bytes 9 to 26.
    EXPECT_EQ(r.scan->xpdr->id, "999 000000012345\r\n");
}

TEST(TextScan, ZeroPaddedTypeIsUnknownAndIdIsNotTrimmed) {
    const Bytes record = concat({{0x55},
                                 ascii(std::string("FDXB\0\0\0\0", 8)),
                                 ascii(" 12 \xA0  456789012 "),
                                 Bytes(6, 0)});
    const ScanResult r = decodeTextScan(record, 0);
    EXPECT_EQ(r.scan->xpdr->type, 0);
    // Byte A0 is the character U+00A0, two bytes in UTF-8.
    EXPECT_EQ(r.scan->xpdr->id, " 12 \u00A0  456789012 ");
}

TEST(TextScan, ReaderBytesAboveSeventyFAreLatin1) {
    const Bytes record = concat({{0x55},
                                 ascii("HDX\xA0\xA0\xA0\xA0\x85"),
                                 ascii("\xE9\xFF"
                                       "00000000000000"),
                                 Bytes(6, 0x20)});
    const ScanResult r = decodeTextScan(record, 0);
    EXPECT_EQ(r.scan->xpdr->type, 1);
    EXPECT_EQ(r.scan->xpdr->id, "\u00E9\u00FF00000000000000");
}

TEST(TextScan, ShortBufferGivesEmptyResult) {
    const Bytes record(kTextRecord.begin(), kTextRecord.end() - 1);
    EXPECT_EQ(decodeTextScan(record, 0).scan, nullptr);
    EXPECT_EQ(decodeTextScan({}, 0).scan, nullptr);
}

TEST(ExportRecord, NumberIsReadFromTheThreeBytesAfterTheLeadByte) {
    struct Case {
        Bytes head;
        long number;
    };
    const Case cases[] = {
        {{0xAA, '1', '2', '3'}, 123},
        {{0xAA, '0', '0', '7'}, 7},
        {{0xAA, '4', '2', 0x00}, 42},
        {{0xAA, '9', 0x00, '9'}, 9},
        {{0xAA, '-', '1', '2'}, -12},
        {{0xAA, '+', '5', 0x00}, 5},
        {{0xAA, 0x00, '1', '2'}, -1},
        {{0xAA, '-', 0x00, 0x00}, -1},
        {{0xAA, '+', '-', '1'}, -1},
        {{0xAA, ' ', '1', '2'}, -1},
        {{0xAA, '1', '2', ' '}, -1},
        {{0xAA, 0x00, 0x00, 0x00}, -1},
        {{0xAA, 0x01, 0x02, 0x03}, -1},
        {{0xAA, '1', 0xFF, '2'}, -1},
        {{0xAA, 0xEF, 0xBC, 0x91}, -1},  // full-width digit one is not a base-10 digit
        {{0xAA, '1'}, 1},                // a short record uses what is there
        {{0xAA}, -1},
        {{}, -1},
    };
    for (const auto& c : cases) {
        Bytes record = c.head;
        if (record.size() == 4) {
            record.resize(37, 0x20);
            record[4] = '8';  // bytes after the number never join it
        }
        EXPECT_EQ(exportRecordNumber(record), c.number);
    }
}

TEST(VersionText, CutsAtZeroReplacesBadUtf8AndShortensTheModelName) {
    struct Case {
        Bytes message;
        const char* text;
    };
    const Case cases[] = {
        {{0x87, 'A', 'B', 0x00}, "AB"},
        {{0x87, 0x00}, ""},
        {{0x87}, ""},
        {{0x87, 'A', 0x00, 'B', 0x00}, "A"},
        {concat({{0x87}, ascii("KESTRALON KX100 MOBILE v2.1"), {0x00}}), "KX100-M v2.1"},
        {concat({{0x87}, ascii("KESTRALON KX100 MOBILEKESTRALON KX100 MOBILE!"), {0x00}}),
         "KX100-MKX100-M!"},
        {concat({{0x87}, ascii("kestralon kx100 mobile"), {0x00}}), "kestralon kx100 mobile"},
        {{0x87, 'A', 0xFF, 'B', 0x00}, "A\uFFFDB"},
        {{0x87, 0xE2, 0x82, 'x', 0x00}, "\uFFFDx"},  // truncated sequence: one U+FFFD
        {{0x87, 0xC3, 0xA9, 0xED, 0xA0, 0x80, 0x00}, "\u00E9\uFFFD\uFFFD\uFFFD"},  // surrogate
        {{0x87, 0xF0, 0x9F, 0x98, 0x80, 0x00}, "\U0001F600"},
    };
    for (const auto& c : cases) EXPECT_EQ(versionText(c.message), c.text);
}

TEST(Battery, LevelIsTruncatedPercentOfFullScaleCappedAtHundred) {
    const std::pair<int, long> cases[] = {{0, 0},     {1, 0},     {67, 50},  {133, 99},
                                          {134, 100}, {200, 100}, {255, 100}};
    for (auto [raw, level] : cases) {
        EXPECT_EQ(batteryLevel(static_cast<std::uint8_t>(raw)), level) << raw;
    }
}

TEST(StatusMessage, NeedsLeadByteTagAndStateByte) {
    EXPECT_TRUE(isStatusMessage(concat({{0x55}, ascii("QX,SB")})));
    EXPECT_TRUE(isStatusMessage(concat({{0x55}, ascii("QX,SE"), {0x88, 0x01}})));
    EXPECT_TRUE(isStatusMessage(concat({{0x55}, ascii("QX,S?")})));
    EXPECT_FALSE(isStatusMessage(concat({{0x55}, ascii("QX,S")})));
    EXPECT_FALSE(isStatusMessage(concat({{0x55}, ascii("qx,sB")})));
    EXPECT_FALSE(isStatusMessage(concat({{0x56}, ascii("QX,SB")})));
    EXPECT_FALSE(isStatusMessage(concat({{0x55}, ascii("QX.SB")})));
    EXPECT_FALSE(isStatusMessage({}));
}

TEST(EscapePayload, DoublesEveryFe) {
    EXPECT_EQ(escapePayload({}), Bytes{});
    EXPECT_EQ(escapePayload({0x01, 0xFE, 0x02}), (Bytes{0x01, 0xFE, 0xFE, 0x02}));
    EXPECT_EQ(escapePayload({0xFE, 0xFE}), (Bytes{0xFE, 0xFE, 0xFE, 0xFE}));
    EXPECT_EQ(escapePayload({0xFF, 0xFD, 0x00}), (Bytes{0xFF, 0xFD, 0x00}));
}

}  // namespace
