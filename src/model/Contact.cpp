// SPDX-License-Identifier: Apache-2.0
#include "orvex/Contact.hpp"

#include <array>
#include <cstddef>
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

// The e-mail field is one number of 136 bits whose base-42 digits are the 25 symbols.
// Dividing it byte by byte costs 17 dependent divisions per symbol. Instead it is held in
// five 32-bit limbs (most significant first) and divided by 42^5, which fits in 27 bits:
// each step divides (remainder << 32 | limb), less than 2^59, by a constant in 64 bits,
// and each remainder, less than 42^5, holds five symbols that 32-bit divisions by 42 take
// apart. Encoding runs the other way: five symbols make one chunk, and the limbs are
// multiplied by 42^5 and the chunk added. Every symbol comes out as the byte-wise long
// division gives it, also for numbers of 42^25 or more (the top symbol is then taken
// modulo 42).
constexpr std::size_t kLimbs = 5;
constexpr std::size_t kSymbolsPerChunk = 5;
constexpr std::uint32_t kChunkBase = 42u * 42u * 42u * 42u * 42u;  // 42^5 = 130691232
static_assert(CONTACT_EMAIL_WIDTH == kLimbs * kSymbolsPerChunk);
static_assert(CONTACT_EMAIL_BASE == 42);
using Limbs = std::array<std::uint32_t, kLimbs>;

// The 17 big-endian e-mail bytes: byte 0 alone in the top limb, then four bytes per limb.
Limbs emailLimbs(const std::uint8_t* bytes) {
    Limbs limbs{bytes[0]};
    for (std::size_t i = 1; i < kLimbs; ++i) {
        const std::uint8_t* p = bytes + 1 + 4 * (i - 1);
        limbs[i] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                   std::uint32_t{p[2]} << 8 | p[3];
    }
    return limbs;
}

void storeEmailLimbs(const Limbs& limbs, std::uint8_t* bytes) {
    bytes[0] = static_cast<std::uint8_t>(limbs[0]);  // a carry beyond 136 bits is dropped
    for (std::size_t i = 1; i < kLimbs; ++i) {
        std::uint8_t* p = bytes + 1 + 4 * (i - 1);
        p[0] = static_cast<std::uint8_t>(limbs[i] >> 24);
        p[1] = static_cast<std::uint8_t>(limbs[i] >> 16);
        p[2] = static_cast<std::uint8_t>(limbs[i] >> 8);
        p[3] = static_cast<std::uint8_t>(limbs[i]);
    }
}

// Takes chunk `c` (the number's base-42^5 digit c, least significant first) after chunks
// 0 to c - 1 were taken: returns the number modulo 42^5 and divides it by 42^5. The number
// is then below 2^135 / 42^(5c), so the limbs above limb c are zero and limb c is below
// 2^(7 + 5.1c), which is less than 42^5 for c < 4: it starts the long division as its
// remainder. The last chunk is limb 4 alone, which may pass 42^5.
std::uint32_t takeChunk(Limbs& limbs, std::size_t c) {
    if (c == kLimbs - 1) return limbs[c] % kChunkBase;
    std::uint64_t rest = limbs[c];
    for (std::size_t i = c + 1; i < kLimbs; ++i) {
        const std::uint64_t v = rest << 32 | limbs[i];
        limbs[i] = static_cast<std::uint32_t>(v / kChunkBase);
        rest = v % kChunkBase;
    }
    return static_cast<std::uint32_t>(rest);
}

// `limbs` := limbs * 42^5 + add, where the result fits in the limbs from `first` on.
void multiplyByChunkBase(Limbs& limbs, std::uint32_t add, std::size_t first) {
    std::uint64_t carry = add;
    for (std::size_t i = kLimbs; i-- > first;) {
        const std::uint64_t v = std::uint64_t{limbs[i]} * kChunkBase + carry;
        limbs[i] = static_cast<std::uint32_t>(v);
        carry = v >> 32;
    }
}

constexpr std::size_t kHalfPhoneDigits = CONTACT_PHONE_DIGITS / 2;
constexpr std::uint32_t kHalfPhoneBase = 11 * 11 * 11 * 11 * 11 * 11;  // 11^6
static_assert(CONTACT_PHONE_BASE == 11 && CONTACT_PHONE_DIGITS == 12);

// The telephone field: a 48-bit big-endian number whose base-11 digits are the 12 digits.
std::uint64_t readPhone(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < CONTACT_PHONE_BYTES; ++i) value = value << 8 | bytes[i];
    return value;
}

// Byte `i` of a text field `width` wide: the text's byte, or a space past its end.
std::uint8_t fieldByte(std::string_view text, std::size_t i) {
    return i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{' '};
}

}  // namespace

std::vector<std::uint8_t> Contact::encode(std::string_view phone_str, std::string_view email_str) {
    const std::string_view email_text = email_str.substr(0, CONTACT_EMAIL_WIDTH);
    const std::string_view phone_text = phone_str.substr(0, CONTACT_PHONE_WIDTH);
    const bool plus = fieldByte(phone_text, 0) == '+';

    std::vector<std::uint8_t> record(kRecordSize, 0);
    Limbs limbs{};
    for (std::size_t chunk = 0; chunk < kLimbs; ++chunk) {
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < kSymbolsPerChunk; ++k) {
            value = value * CONTACT_EMAIL_BASE +
                    detail::EMAIL_CODES[fieldByte(email_text, chunk * kSymbolsPerChunk + k)];
        }
        // After `chunk` + 1 chunks the number is below 42^(5 * (chunk + 1)) < 2^(32 * (chunk + 1)).
        multiplyByChunkBase(limbs, value, kLimbs - 1 - chunk);
    }
    storeEmailLimbs(limbs, record.data());
    if (plus) record[0] |= kPlusFlag;

    std::uint64_t phone = 0;
    for (std::size_t j = 0; j < CONTACT_PHONE_DIGITS; ++j) {
        phone = phone * CONTACT_PHONE_BASE + detail::phone_c2b(fieldByte(phone_text, plus ? j + 1 : j));
    }
    for (std::size_t i = CONTACT_PHONE_BYTES; i-- > 0;) {
        record[CONTACT_PHONE_OFFSET + i] = static_cast<std::uint8_t>(phone);
        phone >>= 8;
    }

    const std::uint16_t check = detail::recordChecksum(std::span<const std::uint8_t, kRecordSize>(record.data(), kRecordSize));
    record[kCheckHigh] = static_cast<std::uint8_t>(check >> 8);
    record[kCheckLow] |= static_cast<std::uint8_t>(check & kCheckLowMask);
    return record;
}

std::shared_ptr<Contact> Contact::decode(std::vector<std::uint8_t>& from) {
    if (from.size() < kRecordSize) return nullptr;

    // Allocated before the checksum, whose table lookups form one long chain of dependent
    // loads: the processor makes the allocations while it waits on the chain.
    auto contact = std::make_shared<Contact>();
    contact->name.resize(CONTACT_EMAIL_WIDTH);

    const std::uint8_t storedHigh = from[kCheckHigh];
    const std::uint8_t storedLow = from[kCheckLow];
    from[kCheckHigh] = 0;
    from[kCheckLow] &= static_cast<std::uint8_t>(~kCheckLowMask);
    const unsigned check =
        detail::recordChecksum(std::span<const std::uint8_t, kRecordSize>(from.data(), kRecordSize));
    const unsigned stored = unsigned{storedHigh} << 8 | (storedLow & kCheckLowMask);
    if ((check & ~0x3u) != stored) return nullptr;

    const bool plus = (from[0] & kPlusFlag) != 0;

    Limbs limbs = emailLimbs(from.data());
    limbs[0] &= static_cast<std::uint8_t>(~kPlusFlag);
    char* name = contact->name.data();
    for (std::size_t chunk = 0; chunk < kLimbs; ++chunk) {
        std::uint32_t rest = takeChunk(limbs, chunk);
        char* end = name + CONTACT_EMAIL_WIDTH - chunk * kSymbolsPerChunk;
        for (std::size_t k = 1; k <= kSymbolsPerChunk; ++k) {
            end[-static_cast<std::ptrdiff_t>(k)] = detail::EMAIL_ALPHABET[rest % CONTACT_EMAIL_BASE];
            rest /= CONTACT_EMAIL_BASE;
        }
    }

    // One 64-bit division splits the twelve digits into two halves of six, which 32-bit
    // divisions then take apart side by side.
    const std::uint64_t phone = readPhone(from.data() + CONTACT_PHONE_OFFSET);
    auto high = static_cast<std::uint32_t>(phone / kHalfPhoneBase);  // below 2^48 / 11^6
    auto low = static_cast<std::uint32_t>(phone % kHalfPhoneBase);
    std::array<char, CONTACT_PHONE_WIDTH> phoneText{'+'};
    char* const phoneEnd = phoneText.data() + CONTACT_PHONE_WIDTH;
    const auto digitChar = [](std::uint32_t digit) {
        return digit < 10 ? static_cast<char>('0' + digit) : ' ';
    };
    for (std::size_t k = 1; k <= kHalfPhoneDigits; ++k) {
        phoneEnd[-static_cast<std::ptrdiff_t>(k)] = digitChar(low % CONTACT_PHONE_BASE);
        phoneEnd[-static_cast<std::ptrdiff_t>(k + kHalfPhoneDigits)] =
            digitChar(high % CONTACT_PHONE_BASE);
        low /= CONTACT_PHONE_BASE;
        high /= CONTACT_PHONE_BASE;
    }
    contact->phone.assign(plus ? phoneText.data() : phoneText.data() + 1, phoneEnd);
    return contact;
}

}  // namespace orvex
