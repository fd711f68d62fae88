#include "model/ContactCodec.hpp"

namespace orvex::detail {

std::uint8_t pearson_do(const std::vector<std::uint8_t>& buffer, std::size_t len) {
    if (len == 0) return 0;
    std::uint8_t h = PEARSON_ARRAY[buffer[0]];
    for (std::size_t i = 1; i < len; ++i) h = PEARSON_ARRAY[buffer[i] ^ h];
    return h;
}

std::uint16_t pearson_16(std::vector<std::uint8_t>& buffer, std::size_t len) {
    const std::uint8_t h1 = pearson_do(buffer, len);
    ++buffer[0];
    const std::uint8_t h2 = pearson_do(buffer, len);
    --buffer[0];
    return static_cast<std::uint16_t>(h1 << 8 | h2);
}

std::uint8_t email_c2b(std::uint8_t c) {
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= '0' && c <= '9') return c - '0' + 26;
    switch (c) {
        case '@':
            return 37;
        case '.':
            return 38;
        case '_':
            return 39;
        case '-':
            return 40;
        case '+':
            return 41;
        default:
            return 36;
    }
}

char email_b2c(std::uint8_t code) {
    static constexpr char kSymbols[] = " @._-+";
    if (code < 26) return static_cast<char>('A' + code);
    if (code < 36) return static_cast<char>('0' + code - 26);
    if (code < 42) return kSymbols[code - 36];
    return ' ';
}

std::uint8_t phone_c2b(std::uint8_t c) {
    return c >= '0' && c <= '9' ? static_cast<std::uint8_t>(c - '0') : 10;
}

std::string show_phone(bool prefix, const std::array<std::uint8_t, CONTACT_PHONE_DIGITS>& phone) {
    std::string text = prefix ? "+" : "";
    for (std::uint8_t digit : phone)
        text.push_back(digit < 10 ? static_cast<char>('0' + digit) : ' ');
    return text;
}

}  // namespace orvex::detail
