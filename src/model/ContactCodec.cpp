// SPDX-License-Identifier: Apache-2.0
#include "model/ContactCodec.hpp"

namespace orvex::detail {

std::uint8_t pearson_do(const std::vector<std::uint8_t>& buffer, std::size_t len) {
    if (len == 0) return 0;
    std::uint8_t h = PEARSON_ARRAY[buffer[0]];
    for (std::size_t i = 1; i < len; ++i) h = PEARSON_ARRAY[buffer[i] ^ h];
    return h;
}

std::uint16_t pearson_16(std::vector<std::uint8_t>& buffer, std::size_t len) {
    return recordChecksum(std::span<const std::uint8_t>(buffer.data(), len));
}

std::uint8_t email_c2b(std::uint8_t c) {
    return EMAIL_CODES[c];
}

char email_b2c(std::uint8_t code) {
    return code < EMAIL_ALPHABET.size() ? EMAIL_ALPHABET[code] : ' ';
}

std::string show_phone(bool prefix, const std::array<std::uint8_t, CONTACT_PHONE_DIGITS>& phone) {
    std::string text = prefix ? "+" : "";
    for (std::uint8_t digit : phone)
        text.push_back(digit < 10 ? static_cast<char>('0' + digit) : ' ');
    return text;
}

}  // namespace orvex::detail
