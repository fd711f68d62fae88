// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// The owner contact stored on FDX-B tags, and its 24-byte record.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvex/Export.hpp"

namespace orvex {

/// An owner contact (a telephone number and an e-mail address) decoded from the 24-byte
/// record stored on a transponder. The link hands it to the host inside a ScanResult and
/// does not change it afterwards.
class ORVEX_EXPORT Contact {
public:
    /// Telephone text: an optional "+" then exactly 12 characters, each a digit or a space
    /// (the number is padded with spaces).
    std::string phone;
    /// E-mail text: exactly 25 characters (upper-case letters, digits, "@._-+" and spaces;
    /// padded with spaces). The record has no lower case: an address written in lower case
    /// reads back in upper case.
    std::string name;

    /// Packs a telephone text and an e-mail text into a 24-byte record with its checksum.
    /// Never fails: the telephone text is cut or padded with spaces to 13 characters (a
    /// leading "+" is kept as a flag, any character other than a digit reads back as a
    /// space), the e-mail text to 25 characters (letters in either case read back in upper
    /// case; a character outside the record's alphabet reads back as a space).
    /// @param phone_str the telephone text.
    /// @param email_str the e-mail text.
    /// @return the 24-byte record.
    static std::vector<std::uint8_t> encode(std::string_view phone_str, std::string_view email_str);

    /// Verifies and unpacks the first 24 bytes of a record; bytes after them are ignored.
    /// @param from the record. When it holds 24 bytes or more, its checksum bits (byte 17
    ///        and bits 7 to 2 of byte 18) are cleared in place, whether the check passes or
    ///        not.
    /// @return the contact; empty when `from` is shorter than 24 bytes or the checksum does
    ///         not match.
    static std::shared_ptr<Contact> decode(std::vector<std::uint8_t>& from);
};

}  // namespace orvex
