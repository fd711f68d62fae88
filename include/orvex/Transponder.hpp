// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// An identified tag, Transponder, and the names of its types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvex/Export.hpp"

namespace orvex {

/// One identified tag: its identifier text and the raw value of its type. The link does
/// not change it after handing it to the host.
class ORVEX_EXPORT Transponder {
public:
    /// The tag types, by raw value.
    enum class Types : std::int8_t {
        none = 0,    ///< No known type.
        HDX = 1,     ///< Half-duplex (HDX).
        iHDX = 2,    ///< A variant of HDX.
        FDXA = 3,    ///< Full-duplex type A (FDX-A).
        FDXB = 4,    ///< Full-duplex type B (FDX-B), the only type with an owner contact.
        iFDXB = 5,   ///< A variant of FDX-B.
        EM4102 = 6,  ///< EM4102.
    };

    /// The case for a raw type value.
    /// @param raw a raw type value, such as #type.
    /// @return the case for 0 to 6; empty otherwise.
    static std::optional<Types> typeFromRaw(std::int8_t raw);

    /// The identifier text. From a packed scan record: the country code zero-padded to 3
    /// digits, a space and the national number zero-padded to 12 digits
    /// (`"999 000000012345"`), the form ReaderInterface::writeContact() expects. From a
    /// text record or an export: the reader's 16 characters as sent.
    std::string id;
    /// The raw value of the type (see Types); values outside 0 to 6 are possible and mean
    /// an unknown type.
    std::int8_t type = 0;

    /// The display name of #type: `"HDX"`, `"iHDX"`, `"FDXA"`, `"FDXB"`, `"iFDXB"`,
    /// `"EM4102"`, or `"UNKNOWN"` for 0 and anything outside 1 to 6.
    std::string typename_() const;
    /// For logs and displays: typename_(), `": "` and #id (`"FDXB: 999 000000012345"`).
    std::string str() const;

    /// The type's raw value (0 to 6) from the type field of a serial text (the reader's
    /// text record: 8 characters of type name, a separator, 16 characters of identifier).
    ///
    /// The first 8 characters (Unicode code points; a byte that does not start well-formed
    /// UTF-8 counts as one character) are trimmed of white space at both ends (tab, LF, VT,
    /// FF, CR, U+0085 and the Unicode separators Zs, Zl, Zp such as U+00A0 and U+2028; a
    /// zero character is not white space) and compared case-sensitively with the display
    /// names of typename_().
    /// @param serial the serial text; a shorter one uses what is there.
    /// @return the matching raw value; 0 for anything else.
    static std::int8_t decode_type(std::string_view serial);
    /// The identifier field of a serial text: characters 9 to 24 (counted as decode_type()
    /// counts them), fewer when the text is shorter.
    /// @param serial the serial text.
    /// @return those characters, with their bytes exactly as they stand in `serial`.
    static std::string decode_id(std::string_view serial);
};

/// The name of a tag type for logs: the case's name exactly as declared (`"FDXB"`,
/// `"EM4102"`, `"none"`), stable across versions; `"unknown"` for a value outside the
/// declared cases. Unlike Transponder::typename_() it names `none` as such. The view refers
/// to static storage.
/// @param value the type.
ORVEX_EXPORT std::string_view to_string(Transponder::Types value) noexcept;

}  // namespace orvex
