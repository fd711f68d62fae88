// SPDX-License-Identifier: Apache-2.0
#include "orvex/Transponder.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "model/Text.hpp"

namespace orvex {

namespace {

// Display names by raw value; index 0 is the name of `none`.
constexpr std::array<std::string_view, 7> kNames{"UNKNOWN", "HDX",   "iHDX",  "FDXA",
                                                 "FDXB",    "iFDXB", "EM4102"};

constexpr std::size_t kTypeLength = 8;
constexpr std::size_t kIdStart = 9;
constexpr std::size_t kIdLength = 16;

// White space and line breaks: the C0 controls tab to carriage return, NEXT LINE and the
// separators (general categories Zs, Zl, Zp).
bool isWhiteSpace(char32_t cp) {
    switch (cp) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

// Byte offset of each of the first `count` characters of `serial`, plus the end offset of
// the last one. A byte that does not start a well-formed UTF-8 sequence is one character.
struct Characters {
    std::array<char32_t, kIdStart + kIdLength> codePoints{};
    std::array<std::size_t, kIdStart + kIdLength + 1> offsets{};
    std::size_t count = 0;
};

Characters readCharacters(std::string_view serial, std::size_t limit) {
    Characters chars;
    std::size_t pos = 0;
    while (chars.count < limit && pos < serial.size()) {
        const detail::Utf8Step step = detail::readUtf8(serial, pos);
        chars.codePoints[chars.count] = step.codePoint;
        chars.offsets[chars.count] = pos;
        pos += step.valid ? step.length : 1;
        ++chars.count;
    }
    chars.offsets[chars.count] = pos;
    return chars;
}

// Whether the first `count` bytes of `serial` (fewer when it is shorter) are all ASCII: then
// each of them is one character whose code point is the byte.
bool asciiPrefix(std::string_view serial, std::size_t count) {
    const std::string_view prefix = serial.substr(0, count);
    return std::all_of(prefix.begin(), prefix.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The raw value of the type name that the `length` characters given by `characterAt`
// spell, or 0.
std::int8_t typeOfName(std::size_t length, auto&& characterAt) {
    for (std::size_t raw = 1; raw < kNames.size(); ++raw) {
        const std::string_view name = kNames[raw];
        if (name.size() != length) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            same = characterAt(i) == static_cast<char32_t>(name[i]);
        }
        if (same) return static_cast<std::int8_t>(raw);
    }
    return 0;
}

}  // namespace

std::optional<Transponder::Types> Transponder::typeFromRaw(std::int8_t raw) {
    if (raw < 0 || raw > 6) return std::nullopt;
    return static_cast<Types>(raw);
}

std::string Transponder::typename_() const {
    const auto kind = typeFromRaw(type);
    return std::string(kNames[kind ? static_cast<std::size_t>(*kind) : 0]);
}

std::string Transponder::str() const {
    return typename_() + ": " + id;
}

std::int8_t Transponder::decode_type(std::string_view serial) {
    if (asciiPrefix(serial, kTypeLength)) {
        std::string_view text = serial.substr(0, kTypeLength);
        const auto space = [](char c) { return isWhiteSpace(static_cast<unsigned char>(c)); };
        while (!text.empty() && space(text.front())) text.remove_prefix(1);
        while (!text.empty() && space(text.back())) text.remove_suffix(1);
        return typeOfName(text.size(), [&](std::size_t i) {
            return static_cast<char32_t>(static_cast<unsigned char>(text[i]));
        });
    }

    const Characters chars = readCharacters(serial, kTypeLength);
    std::size_t first = 0;
    std::size_t last = chars.count;
    while (first < last && isWhiteSpace(chars.codePoints[first])) ++first;
    while (last > first && isWhiteSpace(chars.codePoints[last - 1])) --last;
    return typeOfName(last - first, [&](std::size_t i) { return chars.codePoints[first + i]; });
}

std::string Transponder::decode_id(std::string_view serial) {
    if (asciiPrefix(serial, kIdStart + kIdLength)) {
        if (serial.size() <= kIdStart) return {};
        return std::string(serial.substr(kIdStart, kIdLength));
    }
    const Characters chars = readCharacters(serial, kIdStart + kIdLength);
    if (chars.count <= kIdStart) return {};
    const std::size_t from = chars.offsets[kIdStart];
    return std::string(serial.substr(from, chars.offsets[chars.count] - from));
}

std::string_view to_string(Transponder::Types value) noexcept {
    // Every case and no default: a type added without a name here is a compiler warning.
    switch (value) {
        case Transponder::Types::none:
            return "none";
        case Transponder::Types::HDX:
            return "HDX";
        case Transponder::Types::iHDX:
            return "iHDX";
        case Transponder::Types::FDXA:
            return "FDXA";
        case Transponder::Types::FDXB:
            return "FDXB";
        case Transponder::Types::iFDXB:
            return "iFDXB";
        case Transponder::Types::EM4102:
            return "EM4102";
    }
    return "unknown";
}

}  // namespace orvex
