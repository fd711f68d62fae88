// SPDX-License-Identifier: Apache-2.0
// The codec against a plain byte-at-a-time long division in base 42 and base 11, over
// records that pass their check: every field value, also those no encoder produces.

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "model/ContactCodec.hpp"
#include "orvex/Contact.hpp"

namespace {

using orvex::Contact;
using Bytes = std::vector<std::uint8_t>;
namespace detail = orvex::detail;

// `number` (big-endian) := number / divisor; returns the remainder.
unsigned divideBytes(std::span<std::uint8_t> number, unsigned divisor) {
    unsigned rest = 0;
    for (auto& b : number) {
        const unsigned v = rest << 8 | b;
        b = static_cast<std::uint8_t>(v / divisor);
        rest = v % divisor;
    }
    return rest;
}

// `number` (big-endian) := number * factor + add, modulo its width.
void multiplyBytes(std::span<std::uint8_t> number, unsigned factor, unsigned add) {
    unsigned carry = add;
    for (auto it = number.rbegin(); it != number.rend(); ++it) {
        const unsigned v = *it * factor + carry;
        *it = static_cast<std::uint8_t>(v);
        carry = v >> 8;
    }
}

// The texts a record holds, by long division one byte at a time. The check bits in byte
// 18 count as zero.
struct Texts {
    std::string phone;
    std::string name;
};
Texts referenceDecode(Bytes record) {
    record[18] &= 0x03;
    Bytes email(record.begin(), record.begin() + 17);
    const bool plus = (email[0] & 0x80) != 0;
    email[0] &= 0x7F;
    std::string name(25, ' ');
    for (std::size_t k = 0; k < 25; ++k) name[24 - k] = detail::email_b2c(divideBytes(email, 42));
    Bytes phone(record.begin() + 18, record.end());
    std::string digits(12, ' ');
    for (std::size_t k = 0; k < 12; ++k) {
        const unsigned d = divideBytes(phone, 11);
        digits[11 - k] = d < 10 ? static_cast<char>('0' + d) : ' ';
    }
    return {(plus ? "+" : "") + digits, name};
}

// The record of two texts without its check bits, by long multiplication.
Bytes referenceFields(std::string phone, std::string email) {
    phone.resize(13, ' ');
    email.resize(25, ' ');
    Bytes record(24, 0);
    for (char c : email) multiplyBytes(std::span(record).first(17), 42, detail::email_c2b(c));
    const bool plus = phone[0] == '+';
    if (plus) record[0] |= 0x80;
    for (std::size_t j = 0; j < 12; ++j) {
        multiplyBytes(std::span(record).subspan(18, 6), 11,
                      detail::phone_c2b(static_cast<std::uint8_t>(phone[plus ? j + 1 : j])));
    }
    return record;
}

// `fields` with check bits that make it pass.
Bytes withCheck(Bytes fields) {
    fields[17] = 0;
    fields[18] &= 0x03;
    const std::uint16_t check = detail::recordChecksum(fields);
    fields[17] = static_cast<std::uint8_t>(check >> 8);
    fields[18] |= static_cast<std::uint8_t>(check & 0xFC);
    return fields;
}

void expectDecodesLikeLongDivision(const Bytes& fields) {
    const Bytes record = withCheck(fields);
    Bytes buffer = record;
    const auto contact = Contact::decode(buffer);
    ASSERT_TRUE(contact);
    const Texts expected = referenceDecode(record);
    EXPECT_EQ(contact->name, expected.name);
    EXPECT_EQ(contact->phone, expected.phone);
}

TEST(ContactLongDivision, ExtremeFieldValuesDecodeAsByteWiseDivisionGivesThem) {
    Bytes zero(24, 0x00);
    Bytes ones(24, 0xFF);  // e-mail value 2^135 - 1: far above 42^25, top symbol modulo 42
    Bytes plusOnly(24, 0x00);
    plusOnly[0] = 0x80;
    Bytes lowLimbsOnly(24, 0x00);
    std::fill(lowLimbsOnly.begin() + 13, lowLimbsOnly.begin() + 17, 0xFF);
    Bytes phoneAbove11To12(24, 0x00);  // 48-bit phone value above 11^12
    std::fill(phoneAbove11To12.begin() + 18, phoneAbove11To12.end(), 0xFF);
    for (const Bytes& fields : {zero, ones, plusOnly, lowLimbsOnly, phoneAbove11To12}) {
        SCOPED_TRACE(testing::PrintToString(fields));
        expectDecodesLikeLongDivision(fields);
    }
}

TEST(ContactLongDivision, RandomRecordsDecodeAsByteWiseDivisionGivesThem) {
    std::mt19937 random(20240613);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 20000; ++i) {
        Bytes fields(24);
        for (auto& b : fields) b = static_cast<std::uint8_t>(byte(random));
        SCOPED_TRACE(testing::PrintToString(fields));
        expectDecodesLikeLongDivision(fields);
        if (HasFailure()) return;
    }
}

TEST(ContactLongDivision, RandomTextsEncodeAsByteWiseMultiplicationGivesThem) {
    std::mt19937 random(7);
    // Alphabet characters, lower case, and bytes outside both alphabets.
    const std::string pool = "ABCXYZabcxyz0189@._-+ #\x80\xFF";
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 30);
    for (int i = 0; i < 5000; ++i) {
        std::string phone(length(random), ' ');
        std::string email(length(random), ' ');
        for (char& c : phone) c = pool[pick(random)];
        for (char& c : email) c = pool[pick(random)];
        if (i % 2 == 0 && !phone.empty()) phone[0] = '+';
        SCOPED_TRACE(testing::PrintToString(phone) + " " + testing::PrintToString(email));
        EXPECT_EQ(Contact::encode(phone, email),
                  withCheck(referenceFields(phone.substr(0, 13), email.substr(0, 25))));
        if (HasFailure()) return;
    }
}

}  // namespace
