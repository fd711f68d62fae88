// SPDX-License-Identifier: Apache-2.0
#include "orvex/platform/Uuid.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orvex::platform {

namespace {

// The Bluetooth base UUID 00000000-0000-1000-8000-00805F9B34FB; short UUIDs fill bytes 0..3.
constexpr std::array<std::uint8_t, 16> kBase{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` (an even count of hex digits) into `out` starting at `offset`.
bool readHex(std::string_view digits, std::array<std::uint8_t, 16>& out, std::size_t offset) {
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        const int hi = hexValue(digits[i]);
        const int lo = hexValue(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[offset + i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

}  // namespace

Uuid::Uuid(std::string_view text) {
    auto parsed = parse(text);
    if (!parsed) throw std::invalid_argument("not a UUID: \"" + std::string(text) + "\"");
    *this = *parsed;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    Uuid uuid;
    switch (text.size()) {
        case 4:  // 16-bit: 0000xxxx-base
            uuid.bytes_ = kBase;
            if (!readHex(text, uuid.bytes_, 2)) return std::nullopt;
            return uuid;
        case 8:  // 32-bit: xxxxxxxx-base
            uuid.bytes_ = kBase;
            if (!readHex(text, uuid.bytes_, 0)) return std::nullopt;
            return uuid;
        case 36: {
            if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
                return std::nullopt;
            }
            std::string digits;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (i == 8 || i == 13 || i == 18 || i == 23) continue;
                digits.push_back(text[i]);
            }
            if (!readHex(digits, uuid.bytes_, 0)) return std::nullopt;
            return uuid;
        }
        default:
            return std::nullopt;
    }
}

std::string Uuid::str() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto put = [this](std::string& out, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            out.push_back(kDigits[bytes_[i] >> 4]);
            out.push_back(kDigits[bytes_[i] & 0x0F]);
        }
    };
    std::string out;
    const bool onBase = bytes_[0] == 0 && bytes_[1] == 0 &&
                        std::equal(bytes_.begin() + 4, bytes_.end(), kBase.begin() + 4);
    if (onBase) {
        put(out, 2, 4);
        return out;
    }
    put(out, 0, 4);
    out.push_back('-');
    put(out, 4, 6);
    out.push_back('-');
    put(out, 6, 8);
    out.push_back('-');
    put(out, 8, 10);
    out.push_back('-');
    put(out, 10, 16);
    return out;
}

}  // namespace orvex::platform
