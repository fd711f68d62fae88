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

    // Type raw value (0 to 6) from the first 8 characters of a serial text, trimmed of
    // Unicode white space. The text is read as UTF-8 where it is valid; other bytes stand
    // for the code point of the same value. Short serials use what is there.
    static std::int8_t decode_type(std::string_view serial);
    // The 16 characters at positions 9 to 24 of a serial text (fewer when it is shorter).
    static std::string decode_id(std::string_view serial);
};

}  // namespace orvex
