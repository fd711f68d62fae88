// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "model/ContactCodec.hpp"
#include "orvex/Contact.hpp"

using orvex::Contact;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kRecord0123Ab{0x00, 0x1E, 0x89, 0xBC, 0x91, 0x20, 0x16, 0x72, 0x52, 0xEA, 0xBC, 0x51,
                          0xFF, 0x30, 0x4E, 0x0C, 0x7C, 0x50, 0xB8, 0x07, 0x56, 0x2F, 0xF8, 0xB2};
const Bytes kRecordEmpty{0x62, 0x61, 0x8C, 0x93, 0x88, 0xD3, 0xF3, 0x36, 0xC2, 0xC4, 0x82, 0x57,
                         0x91, 0x6F, 0xCE, 0x0C, 0x7C, 0xB1, 0x3E, 0xDA, 0xB8, 0xE8, 0x96, 0x90};

std::shared_ptr<Contact> decodeCopy(Bytes record) {
    return Contact::decode(record);
}

std::string spaces(std::size_t n) {
    return std::string(n, ' ');
}

TEST(ContactCodec, KnownRecords) {
    EXPECT_EQ(Contact::encode("0123", "ab"), kRecord0123Ab);
    EXPECT_EQ(Contact::encode("", ""), kRecordEmpty);

    const auto c = decodeCopy(kRecord0123Ab);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->phone, "0123" + spaces(8));
    EXPECT_EQ(c->name, "AB" + spaces(23));

    const auto empty = decodeCopy(kRecordEmpty);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->phone, spaces(12));
    EXPECT_EQ(empty->name, spaces(25));
}

TEST(ContactCodec, RoundTripsTextsInTheAlphabets) {
    struct Case {
        const char* phone;
        const char* email;
        std::string phoneOut;
        std::string nameOut;
    };
    const Case cases[] = {
        {"+491701234567", "max.mustermann@example.de", "+491701234567",
         "MAX.MUSTERMANN@EXAMPLE.DE"},
        {"999999999999", "zzzzzzzzzzzzzzzzzzzzzzzzz", "999999999999", std::string(25, 'Z')},
        {"+", "", "+" + spaces(12), spaces(25)},
        {"12-34", "a_b-c+d@0.9", "12 34" + spaces(7), "A_B-C+D@0.9" + spaces(14)},
        {"(0) 12", "++++++++++++++++++++++++", " 0  12" + spaces(6), std::string(24, '+') + " "},
        {"0+1", "", "0 1" + spaces(9), spaces(25)},  // "+" only counts first
        {" +12", "", "  12" + spaces(8), spaces(25)},
    };
    for (const auto& c : cases) {
        const Bytes record = Contact::encode(c.phone, c.email);
        ASSERT_EQ(record.size(), 24u);
        EXPECT_LE(record[0], 0xF0);
        const auto decoded = decodeCopy(record);
        ASSERT_TRUE(decoded) << c.phone << " / " << c.email;
        EXPECT_EQ(decoded->phone, c.phoneOut) << c.phone;
        EXPECT_EQ(decoded->name, c.nameOut) << c.email;
    }
}

TEST(ContactCodec, EquivalentTextsGiveTheSameRecord) {
    struct Case {
        const char* phoneA;
        const char* emailA;
        const char* phoneB;
        const char* emailB;
    };
    const Case cases[] = {
        {"1", "ab", "1", "AB"},                       // case folds
        {"1", "a!b", "1", "a b"},                     // unknown byte: space
        {"1", "\xC3\xA9", "1", "  "},                 // each UTF-8 byte: space
        {"1", "a\x7F\x80\xFF", "1", "a"},             // and trailing spaces vanish
        {"1234567890123", "", "123456789012", ""},    // 13th digit dropped
        {"+1234567890123", "", "+123456789012", ""},  // cut at 13 bytes
        {"", "abcdefghijklmnopqrstuvwxyz", "", "abcdefghijklmnopqrstuvwxy"},  // 26th dropped
        {"12ab", "", "12  ", ""},                                             // letters: space
        {"1\xD9\xA3", "", "1  ", ""},  // non-ASCII digit: spaces
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Contact::encode(c.phoneA, c.emailA), Contact::encode(c.phoneB, c.emailB))
            << c.phoneA << " / " << c.emailA;
    }
    EXPECT_NE(Contact::encode("+1", ""), Contact::encode("1", ""));
}

TEST(ContactCodec, EverySingleBitFlipFailsTheCheck) {
    for (std::size_t byte = 0; byte < 24; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes record = kRecord0123Ab;
            record[byte] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_FALSE(Contact::decode(record)) << "byte " << byte << " bit " << bit;
        }
    }
}

TEST(ContactCodec, UniformRecordsFail) {
    EXPECT_FALSE(decodeCopy(Bytes(24, 0x00)));
    EXPECT_FALSE(decodeCopy(Bytes(24, 0xFF)));
}

TEST(ContactCodec, DecodeClearsTheCheckBitsAndNothingElse) {
    for (const Bytes& original : {kRecord0123Ab, Bytes(24, 0xFF)}) {
        Bytes buffer = original;
        buffer.push_back(0xAB);  // bytes after the record are ignored and kept
        Contact::decode(buffer);
        Bytes expected = original;
        expected[17] = 0;
        expected[18] &= 0x03;
        expected.push_back(0xAB);
        EXPECT_EQ(buffer, expected);
    }
    Bytes longer = kRecord0123Ab;
    longer.insert(longer.end(), {0x01, 0x02});
    EXPECT_TRUE(Contact::decode(longer));
}

TEST(ContactCodec, ShortBufferIsRejectedAndLeftAlone) {
    Bytes shortRecord(kRecord0123Ab.begin(), kRecord0123Ab.end() - 1);
    const Bytes before = shortRecord;
    EXPECT_FALSE(Contact::decode(shortRecord));
    EXPECT_EQ(shortRecord, before);
    Bytes empty;
    EXPECT_FALSE(Contact::decode(empty));
}

TEST(ContactCodec, EncodedRecordsPassTheirCheckAndDiffer) {
    std::set<Bytes> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string phone = (i % 2 ? "+" : "") + std::to_string(i * 7919);
        const std::string email = "user" + std::to_string(i) + "@host.example";
        const Bytes record = Contact::encode(phone, email);
        EXPECT_LE(record[0], 0xF0);
        EXPECT_TRUE(decodeCopy(record)) << phone << " " << email;
        seen.insert(record);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(ContactHelpers, PearsonHashUsesTheTableAsListed) {
    using orvex::detail::PEARSON_ARRAY;
    EXPECT_EQ(orvex::detail::pearson_do({0x12, 0x34}, 0), 0);
    EXPECT_EQ(orvex::detail::pearson_do({0x00}, 1), 0x9A);
    EXPECT_EQ(orvex::detail::pearson_do({0xFF}, 1), 0xEA);
    EXPECT_EQ(orvex::detail::pearson_do({0x00, 0x00}, 2), PEARSON_ARRAY[0x9A]);
    EXPECT_EQ(orvex::detail::pearson_do({0x00, 0x00, 0x55}, 2), PEARSON_ARRAY[0x9A]);  // len
    // The table is not a permutation: 158 distinct values.
    const std::set<std::uint8_t> distinct(PEARSON_ARRAY.begin(), PEARSON_ARRAY.end());
    EXPECT_EQ(distinct.size(), 158u);

    Bytes buffer{0xFF, 0x01};
    const std::uint16_t h = orvex::detail::pearson_16(buffer, 2);
    EXPECT_EQ(buffer, (Bytes{0xFF, 0x01}));  // restored
    EXPECT_EQ(h >> 8, orvex::detail::pearson_do({0xFF, 0x01}, 2));
    EXPECT_EQ(h & 0xFF, orvex::detail::pearson_do({0x00, 0x01}, 2));  // byte 0 wraps to 00
}

TEST(ContactHelpers, Alphabets) {
    using namespace orvex::detail;
    EXPECT_EQ(email_c2b('a'), 0);
    EXPECT_EQ(email_c2b('Z'), 25);
    EXPECT_EQ(email_c2b('0'), 26);
    EXPECT_EQ(email_c2b('9'), 35);
    EXPECT_EQ(email_c2b(' '), 36);
    EXPECT_EQ(email_c2b('@'), 37);
    EXPECT_EQ(email_c2b('.'), 38);
    EXPECT_EQ(email_c2b('_'), 39);
    EXPECT_EQ(email_c2b('-'), 40);
    EXPECT_EQ(email_c2b('+'), 41);
    for (int c : {0x00, int{'!'}, int{'/'}, int{':'}, int{'?'}, int{'['}, int{'`'}, int{'{'}, 0x7F,
                  0x80, 0xC3, 0xFF}) {
        EXPECT_EQ(email_c2b(static_cast<std::uint8_t>(c)), 36) << c;
    }
    for (std::uint8_t code = 0; code < 42; ++code) {
        EXPECT_EQ(email_c2b(static_cast<std::uint8_t>(email_b2c(code))), code) << int(code);
    }
    EXPECT_EQ(phone_c2b('0'), 0);
    EXPECT_EQ(phone_c2b('9'), 9);
    for (int c :
         {int{' '}, int{'+'}, int{'-'}, int{'('}, int{'a'}, int{'/'}, int{':'}, 0x80, 0xFF}) {
        EXPECT_EQ(phone_c2b(static_cast<std::uint8_t>(c)), 10) << c;
    }
    EXPECT_EQ(show_phone(true, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 10}), "+0123456789  ");
    EXPECT_EQ(show_phone(false, {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 1}), spaces(11) + "1");
}

}  // namespace
