// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "orvex/Transponder.hpp"

using orvex::Transponder;

namespace {

TEST(Transponder, NewRecordIsUnknownWithEmptyId) {
    const Transponder t;
    EXPECT_EQ(t.id, "");
    EXPECT_EQ(t.type, 0);
    EXPECT_EQ(t.typename_(), "UNKNOWN");
    EXPECT_EQ(t.str(), "UNKNOWN: ");
}

TEST(Transponder, DisplayNamesByRawValue) {
    struct Case {
        int raw;
        const char* name;
    };
    const Case cases[] = {{0, "UNKNOWN"},   {1, "HDX"},      {2, "iHDX"},      {3, "FDXA"},
                          {4, "FDXB"},      {5, "iFDXB"},    {6, "EM4102"},    {7, "UNKNOWN"},
                          {127, "UNKNOWN"}, {-1, "UNKNOWN"}, {-128, "UNKNOWN"}};
    for (const auto& c : cases) {
        Transponder t;
        t.type = static_cast<std::int8_t>(c.raw);
        EXPECT_EQ(t.typename_(), c.name) << c.raw;
    }
    Transponder t;
    t.type = 4;
    t.id = "999 000000012345";
    EXPECT_EQ(t.str(), "FDXB: 999 000000012345");
}

TEST(Transponder, TypesFromRawValues) {
    EXPECT_EQ(Transponder::typeFromRaw(0), Transponder::Types::none);
    EXPECT_EQ(Transponder::typeFromRaw(6), Transponder::Types::EM4102);
    EXPECT_EQ(Transponder::typeFromRaw(7), std::nullopt);
    EXPECT_EQ(Transponder::typeFromRaw(-1), std::nullopt);
    EXPECT_EQ(Transponder::typeFromRaw(-128), std::nullopt);
}

TEST(Transponder, DecodeTypeTrimsUnicodeWhiteSpaceOfTheFirstEightCharacters) {
    using namespace std::string_literals;
    struct Case {
        std::string serial;
        int type;
    };
    const Case cases[] = {
        {"FDXB    ", 4},
        {"  iFDXB ", 5},
        {"EM4102\t\t", 6},
        {"HDX\u00A0\u00A0\u00A0\u00A0\u00A0", 1},  // no-break space
        {"\u2028iHDX\u2029\u3000\u202F", 2},       // line/paragraph separators
        {"\r\n\f\u0085FDXA", 3},                   // controls, NEL
        {"\vFDXA\u1680\u1680\u1680", 3},           // ogham space mark
        {"\u2000\u200AHDX\u205F", 1},
        {"FDXB    999 000000012345", 4},  // only 8 characters count
        {"FDXB0000", 0},
        {"fdxb    ", 0},  // case matters
        {"FDX B   ", 0},
        {"FDXB\0\0\0\0"s, 0},  // zero is not white space
        {"UNKNOWN ", 0},
        {"\u200BFDXB   ", 0},  // zero-width space is not Zs
        {"        ", 0},
        {"", 0},
        {"HDX", 1},  // short: uses what is there
        {" FDX", 0},
        {"  FDXB", 4},
    };
    for (const auto& c : cases) EXPECT_EQ(Transponder::decode_type(c.serial), c.type) << c.serial;
}

TEST(Transponder, DecodeTypeReadsReaderBytesAndInvalidUtf8AsSingleCharacters) {
    // U+00A0 as a lone byte A0 (not UTF-8) counts as one character, the no-break space.
    EXPECT_EQ(Transponder::decode_type("FDXB\xA0\xA0\xA0\xA0"), 4);
    // A lone 85 byte is NEXT LINE.
    EXPECT_EQ(Transponder::decode_type("\x85HDX"), 1);
    // Invalid bytes take one of the eight places each, so the name is cut.
    EXPECT_EQ(Transponder::decode_type("\xFF\xFF\xFF\xFF\xFF"
                                       "FDXB"),
              0);
    EXPECT_EQ(Transponder::decode_type("\xFF\xFF\xFF\xFF"
                                       "FDXB"),
              0);
    // A truncated sequence at the end neither fails nor reads past the text.
    EXPECT_EQ(Transponder::decode_type("FDXB\xE2\x80"), 0);
    // A lead byte cut off from its sequence is the character of its value (here U+00E2).
    EXPECT_EQ(Transponder::decode_type(std::string_view("HDX \xE2\x80\xA8", 5)), 0);
    EXPECT_EQ(Transponder::decode_type("HDX \xE2\x80\xA8"), 1);
}

TEST(Transponder, DecodeIdTakesCharactersNineToTwentyFour) {
    EXPECT_EQ(Transponder::decode_id("FDXB     999 000000012345"), "999 000000012345");
    EXPECT_EQ(Transponder::decode_id("FDXB     999 000000012345 trailing"), "999 000000012345");
    EXPECT_EQ(Transponder::decode_id("FDXB    x 999 00000001234 "), " 999 00000001234");
    EXPECT_EQ(Transponder::decode_id("FDXB     999"), "999");
    EXPECT_EQ(Transponder::decode_id("FDXB     "), "");
    EXPECT_EQ(Transponder::decode_id(""), "");
    // Counted in characters: multi-byte characters before and inside the id.
    EXPECT_EQ(Transponder::decode_id("\u00A0\u00A0\u00A0\u00A0FDXB \u00E9abcdefghijklmno+"),
              "\u00E9abcdefghijklmno");
    // Invalid bytes are one character each and come back as they stood.
    EXPECT_EQ(Transponder::decode_id("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
                                     "ab\xC3"),
              "ab\xC3");
}

}  // namespace
