// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

// An owner contact decoded from the 24-byte record stored on a transponder.
class Contact {
public:
    // Telephone text: optional "+" then exactly 12 characters, each a digit or a space.
    std::string phone;
    // E-mail text: exactly 25 characters (upper-case letters, digits, "@._-+", spaces).
    std::string name;

    // Packs a telephone text and an e-mail text into a 24-byte record. Never fails.
    static std::vector<std::uint8_t> encode(std::string_view phone_str, std::string_view email_str);

    // Verifies and unpacks the first 24 bytes of `buffer`. Returns nothing when the buffer
    // is shorter than 24 bytes or the checksum does not match. A buffer of 24 bytes or more
    // has its checksum bits cleared afterwards (byte 17 and bits 7..2 of byte 18).
    static std::shared_ptr<Contact> decode(std::vector<std::uint8_t>& from);
};

}  // namespace orvex
