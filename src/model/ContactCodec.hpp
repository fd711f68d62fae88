// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The pieces of the contact record codec: the checksum table and hash, and the two
// alphabets. Kept apart from Contact.cpp so that the tests can reach them.

namespace orvex::detail {

// The 256-byte table of the record checksum. It is not a permutation (158 distinct values)
// and must stay exactly as it is: any other table makes every stored record fail.
// clang-format off
inline constexpr std::array<std::uint8_t, 256> PEARSON_ARRAY{
    0x9A, 0x46, 0x4F, 0xCA, 0xB1, 0xDB, 0x54, 0x3F, 0x95, 0xEE, 0x28, 0xDC, 0x25, 0xF9, 0xB2, 0x22,
    0x7F, 0xAF, 0x6E, 0xF3, 0x75, 0xA2, 0x56, 0x70, 0x5B, 0xF3, 0x39, 0x0E, 0x12, 0x75, 0xA6, 0xFA,
    0xDF, 0x97, 0xEA, 0x76, 0x9A, 0x24, 0xC8, 0x88, 0x6A, 0x54, 0x11, 0x93, 0x7B, 0x92, 0x60, 0xB5,
    0xD2, 0x90, 0x50, 0xA2, 0x5D, 0x2C, 0x6B, 0xED, 0xA5, 0xA9, 0x02, 0x1F, 0xE0, 0x5B, 0x35, 0x61,
    0x1C, 0x50, 0x53, 0xB3, 0xA3, 0x2B, 0x1D, 0x96, 0x62, 0x8F, 0x7E, 0x08, 0x98, 0xD2, 0x96, 0x44,
    0x3D, 0xA9, 0xB8, 0x37, 0x35, 0xA7, 0xE9, 0xCF, 0xFE, 0x92, 0xA7, 0x82, 0x67, 0x49, 0x16, 0x6A,
    0xF0, 0x3D, 0x05, 0xA7, 0x4B, 0x8F, 0x5B, 0xCA, 0xCE, 0xC1, 0x69, 0xCF, 0x59, 0x5D, 0xC5, 0xE3,
    0x27, 0x3D, 0x3D, 0xB9, 0xE9, 0x92, 0x94, 0xC3, 0xF6, 0x1A, 0x21, 0x88, 0x4C, 0x37, 0xCA, 0x6E,
    0xA2, 0xFF, 0x72, 0xBC, 0xF0, 0xB2, 0x19, 0xDD, 0x09, 0x2C, 0xF2, 0x00, 0x3F, 0xF3, 0x19, 0x39,
    0x1B, 0x26, 0x47, 0x35, 0xB5, 0x62, 0x44, 0x4E, 0x45, 0x68, 0x42, 0xF2, 0xA0, 0xA9, 0xCC, 0xBE,
    0xB2, 0x11, 0xC0, 0x09, 0x6F, 0x16, 0x5C, 0x1D, 0x84, 0x0E, 0xC8, 0x03, 0xD5, 0xED, 0x6B, 0x9A,
    0x42, 0xAC, 0xF6, 0xA6, 0x90, 0xC9, 0xF7, 0x6B, 0x17, 0xFF, 0x3F, 0x21, 0xE0, 0xBA, 0xAF, 0x12,
    0x94, 0x39, 0x8C, 0x15, 0xAF, 0x76, 0xEB, 0xAA, 0x41, 0xE6, 0x18, 0xE0, 0x40, 0x83, 0x29, 0xC9,
    0xB1, 0xF0, 0x4B, 0x94, 0x86, 0xCC, 0x84, 0xF2, 0xCF, 0x36, 0x23, 0xD2, 0x6A, 0x9D, 0xBF, 0x8C,
    0xD6, 0xE1, 0x46, 0xF8, 0x55, 0xD2, 0xF1, 0xCD, 0xC9, 0x76, 0xD9, 0x23, 0x4B, 0x10, 0xB4, 0xD4,
    0x1A, 0x89, 0x2C, 0x33, 0x4F, 0xC2, 0xD5, 0xF0, 0xB5, 0xBA, 0xA0, 0x66, 0xAF, 0x65, 0x6B, 0xEA,
};
// clang-format on

// Record layout.
inline constexpr std::size_t CONTACT_EMAIL_BYTES = 17;   // bytes 0..16, big-endian
inline constexpr std::size_t CONTACT_PHONE_OFFSET = 18;  // bytes 18..23, big-endian
inline constexpr std::size_t CONTACT_PHONE_BYTES = 6;
inline constexpr std::size_t CONTACT_EMAIL_WIDTH = 25;   // symbols of base 42
inline constexpr std::size_t CONTACT_PHONE_WIDTH = 13;   // optional "+" and 12 digits
inline constexpr std::size_t CONTACT_PHONE_DIGITS = 12;  // symbols of base 11
inline constexpr unsigned CONTACT_EMAIL_BASE = 42;
inline constexpr unsigned CONTACT_PHONE_BASE = 11;

// The character of each e-mail code 0..41 (letters in upper case).
inline constexpr std::string_view EMAIL_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 @._-+";
static_assert(EMAIL_ALPHABET.size() == CONTACT_EMAIL_BASE);

// 8-bit Pearson hash (start value 0) of the first `len` bytes; 0 for `len` 0.
std::uint8_t pearson_do(const std::vector<std::uint8_t>& buffer, std::size_t len);

// 16-bit checksum of the first `len` bytes (`len` at least 1): the hash, then the hash with
// byte 0 increased by one (mod 256). The buffer is restored before returning.
std::uint16_t pearson_16(std::vector<std::uint8_t>& buffer, std::size_t len);

// pearson_16 of all of `bytes` (0 when empty), with the bytes left untouched. The two
// hashes differ only in their first byte; running them side by side lets the processor
// overlap their table lookups. Inline, so that a fixed record length unrolls the loop.
inline std::uint16_t recordChecksum(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return 0;
    std::uint8_t h1 = PEARSON_ARRAY[bytes[0]];
    std::uint8_t h2 = PEARSON_ARRAY[static_cast<std::uint8_t>(bytes[0] + 1)];
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        h1 = PEARSON_ARRAY[bytes[i] ^ h1];
        h2 = PEARSON_ARRAY[bytes[i] ^ h2];
    }
    return static_cast<std::uint16_t>(h1 << 8 | h2);
}

// The code of every e-mail byte: letters 0..25 (either case), digits 26..35, "@" 37,
// "." 38, "_" 39, "-" 40, "+" 41, every other byte 36 (space).
inline constexpr std::array<std::uint8_t, 256> EMAIL_CODES = [] {
    std::array<std::uint8_t, 256> codes{};
    codes.fill(36);
    for (std::uint8_t code = 0; code < EMAIL_ALPHABET.size(); ++code) {
        const char c = EMAIL_ALPHABET[code];
        if (c == ' ') continue;
        codes[static_cast<unsigned char>(c)] = code;
        if (c >= 'A' && c <= 'Z') codes[static_cast<unsigned char>(c - 'A' + 'a')] = code;
    }
    return codes;
}();

// E-mail byte to its code 0..41 (EMAIL_CODES).
std::uint8_t email_c2b(std::uint8_t c);

// The character of an e-mail code 0..41 (letters in upper case).
char email_b2c(std::uint8_t code);

// Telephone byte to its digit value 0..9; every other byte 10.
inline std::uint8_t phone_c2b(std::uint8_t c) {
    return c >= '0' && c <= '9' ? static_cast<std::uint8_t>(c - '0') : std::uint8_t{10};
}

// The decoded telephone text: "+" when `prefix`, then "0".."9" for 0..9 and a space for 10.
std::string show_phone(bool prefix, const std::array<std::uint8_t, CONTACT_PHONE_DIGITS>& phone);

}  // namespace orvex::detail
