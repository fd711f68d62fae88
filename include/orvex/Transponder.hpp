// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex {

// One identified tag: its identifier text and the raw value of its type.
class Transponder {
public:
    enum class Types : std::int8_t {
        none = 0,
        HDX = 1,
        iHDX = 2,
        FDXA = 3,
        FDXB = 4,
        iFDXB = 5,
        EM4102 = 6,
    };

    // The case for raw values 0 to 6, nothing otherwise.
    static std::optional<Types> typeFromRaw(std::int8_t raw);

    std::string id;
    std::int8_t type = 0;

    // Display name of `type` ("UNKNOWN" for 0 and anything outside 1 to 6).
    std::string typename_() const;
    // typename_() + ": " + id
    std::string str() const;

    // Serial texts are read character by character (Unicode code points): a well-formed
    // UTF-8 sequence is one character; any byte that does not start a well-formed sequence
    // (a stray 80..BF, a truncated or overlong sequence, C0, C1, F5..FF) is one character
    // on its own whose code point is the byte's value. Reader bytes turned into text one
    // character per byte (80..FF as U+0080..U+00FF) therefore read the same as the raw
    // bytes would. A serial shorter than the layout needs uses what is there.

    // Type raw value (0 to 6) from the first 8 characters of a serial text, with white
    // space trimmed from both ends (tab, LF, VT, FF, CR, U+0085 and the Unicode separators
    // Zs, Zl, Zp such as U+00A0 and U+2028; a zero character is not white space), compared
    // case-sensitively with the display names. Anything else gives 0.
    static std::int8_t decode_type(std::string_view serial);
    // Characters 9 to 24 of a serial text (fewer when it is shorter), with their bytes
    // exactly as they stand in `serial`.
    static std::string decode_id(std::string_view serial);
};

}  // namespace orvex
