#include "orvex/Contact.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "model/ContactCodec.hpp"

namespace orvex {

namespace {

using detail::CONTACT_EMAIL_BASE;
using detail::CONTACT_EMAIL_BYTES;
using detail::CONTACT_EMAIL_WIDTH;
using detail::CONTACT_PHONE_BASE;
using detail::CONTACT_PHONE_BYTES;
using detail::CONTACT_PHONE_DIGITS;
using detail::CONTACT_PHONE_OFFSET;
using detail::CONTACT_PHONE_WIDTH;

constexpr std::size_t kRecordSize = 24;
constexpr std::size_t kCheckHigh = 17;
constexpr std::size_t kCheckLow = 18;
constexpr std::uint8_t kCheckLowMask = 0xFC;  // bits 7..2 of byte 18
constexpr std::uint8_t kPlusFlag = 0x80;      // bit 7 of byte 0

// `number` (big-endian) := number * factor + add; a carry out of the first byte is dropped.
void mulAdd(std::span<std::uint8_t> number, unsigned factor, unsigned add) {
    unsigned carry = add;
    for (auto it = number.rbegin(); it != number.rend(); ++it) {
        const unsigned v = *it * factor + carry;
        *it = static_cast<std::uint8_t>(v & 0xFF);
        carry = v >> 8;
    }
}

// `number` (big-endian) := number / divisor; returns the remainder.
unsigned divMod(std::span<std::uint8_t> number, unsigned divisor) {
    unsigned rest = 0;
    for (auto& b : number) {
        const unsigned v = rest << 8 | b;
        b = static_cast<std::uint8_t>(v / divisor);
        rest = v % divisor;
    }
    return rest;
}

// A text field of `width` bytes: the text's bytes, cut or padded with spaces.
template <std::size_t width>
std::array<std::uint8_t, width> fill(std::string_view text) {
    std::array<std::uint8_t, width> field;
    field.fill(' ');
    const std::size_t n = std::min(width, text.size());
    for (std::size_t i = 0; i < n; ++i) field[i] = static_cast<std::uint8_t>(text[i]);
    return field;
}

}  // namespace

std::vector<std::uint8_t> Contact::encode(std::string_view phone_str, std::string_view email_str) {
    const auto phoneField = fill<CONTACT_PHONE_WIDTH>(phone_str);
    const auto emailField = fill<CONTACT_EMAIL_WIDTH>(email_str);
    const bool plus = phoneField[0] == '+';

    std::vector<std::uint8_t> record(kRecordSize, 0);
    const std::span<std::uint8_t> email(record.data(), CONTACT_EMAIL_BYTES);
    for (std::uint8_t c : emailField) mulAdd(email, CONTACT_EMAIL_BASE, detail::email_c2b(c));
    if (plus) record[0] |= kPlusFlag;

    const std::span<std::uint8_t> phone(record.data() + CONTACT_PHONE_OFFSET, CONTACT_PHONE_BYTES);
    for (std::size_t j = 0; j < CONTACT_PHONE_DIGITS; ++j) {
        mulAdd(phone, CONTACT_PHONE_BASE, detail::phone_c2b(phoneField[plus ? j + 1 : j]));
    }

    const std::uint16_t check = detail::pearson_16(record, kRecordSize);
    record[kCheckHigh] = static_cast<std::uint8_t>(check >> 8);
    record[kCheckLow] |= static_cast<std::uint8_t>(check & kCheckLowMask);
    return record;
}

std::shared_ptr<Contact> Contact::decode(std::vector<std::uint8_t>& from) {
    if (from.size() < kRecordSize) return nullptr;

    const std::uint8_t storedHigh = from[kCheckHigh];
    const std::uint8_t storedLow = from[kCheckLow];
    from[kCheckHigh] = 0;
    from[kCheckLow] &= static_cast<std::uint8_t>(~kCheckLowMask);
    const unsigned check = detail::pearson_16(from, kRecordSize);
    const unsigned stored = unsigned{storedHigh} << 8 | (storedLow & kCheckLowMask);
    if ((check & ~0x3u) != stored) return nullptr;

    const bool plus = (from[0] & kPlusFlag) != 0;

    std::array<std::uint8_t, CONTACT_EMAIL_BYTES> email;
    std::copy_n(from.begin(), CONTACT_EMAIL_BYTES, email.begin());
    email[0] &= static_cast<std::uint8_t>(~kPlusFlag);
    std::string name(CONTACT_EMAIL_WIDTH, ' ');
    for (std::size_t k = 0; k < CONTACT_EMAIL_WIDTH; ++k) {
        const auto code = static_cast<std::uint8_t>(divMod(email, CONTACT_EMAIL_BASE));
        name[CONTACT_EMAIL_WIDTH - 1 - k] = detail::email_b2c(code);
    }

    std::array<std::uint8_t, CONTACT_PHONE_BYTES> phone;
    std::copy_n(from.begin() + CONTACT_PHONE_OFFSET, CONTACT_PHONE_BYTES, phone.begin());
    std::array<std::uint8_t, CONTACT_PHONE_DIGITS> digits{};
    for (std::size_t k = 0; k < CONTACT_PHONE_DIGITS; ++k) {
        digits[CONTACT_PHONE_DIGITS - 1 - k] =
            static_cast<std::uint8_t>(divMod(phone, CONTACT_PHONE_BASE));
    }

    auto contact = std::make_shared<Contact>();
    contact->phone = detail::show_phone(plus, digits);
    contact->name = std::move(name);
    return contact;
}

}  // namespace orvex
