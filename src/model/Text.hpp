// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Text helpers shared by the records, the message decoders and the tools.

namespace orvex::detail {

// One step of reading UTF-8: the code point at a position and how many bytes it takes.
// When the bytes there are not a well-formed sequence (stray continuation byte, truncated
// or overlong sequence, surrogate, value above U+10FFFF), `valid` is false, `codePoint` is
// the value of the first byte and `length` is the length of the longest prefix that could
// have started a well-formed sequence (at least 1).
struct Utf8Step {
    char32_t codePoint = 0;
    std::size_t length = 1;
    bool valid = true;
};
Utf8Step readUtf8(std::string_view text, std::size_t pos);

// Appends the UTF-8 form of `codePoint` (at most U+10FFFF) to `out`.
void appendUtf8(std::string& out, char32_t codePoint);

// Reader bytes as text, one character per byte: 00..7F stay as they are, 80..FF become
// U+0080..U+00FF (two UTF-8 bytes each).
std::string latin1ToUtf8(std::span<const std::uint8_t> bytes);
std::string latin1ToUtf8(const std::vector<std::uint8_t>& bytes);

// Bytes read as UTF-8, each ill-formed sequence replaced by U+FFFD (one replacement per
// maximal ill-formed subpart, as the Unicode standard recommends).
std::string utf8Lossy(std::span<const std::uint8_t> bytes);

}  // namespace orvex::detail
