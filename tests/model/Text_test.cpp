// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/Text.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Latin1ToUtf8, AsciiStaysAndHighBytesBecomeTwoByteSequences) {
    const struct {
        Bytes bytes;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{'F', 'D', 'X', 'B', ' ', 0x00, 0x7F}, std::string("FDXB \0\x7F", 7)},
        {{0x80}, "\u0080"},
        {{0xBF, 0xC0}, "\u00BF\u00C0"},
        {{'a', 0xE9, 'b', 0xFF}, "a\u00E9b\u00FF"},
        {Bytes(20, 0xA0), [] {
             std::string s;
             for (int i = 0; i < 20; ++i) s += "\u00A0";
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(orvex::detail::latin1ToUtf8(c.bytes), c.text);
    }
}

}  // namespace
