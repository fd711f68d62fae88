#include "orvex/Transponder.hpp"

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
    const Characters chars = readCharacters(serial, kTypeLength);
    std::size_t first = 0;
    std::size_t last = chars.count;
    while (first < last && isWhiteSpace(chars.codePoints[first])) ++first;
    while (last > first && isWhiteSpace(chars.codePoints[last - 1])) --last;

    for (std::size_t raw = 1; raw < kNames.size(); ++raw) {
        const std::string_view name = kNames[raw];
        if (name.size() != last - first) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            same = chars.codePoints[first + i] == static_cast<char32_t>(name[i]);
        }
        if (same) return static_cast<std::int8_t>(raw);
    }
    return 0;
}

std::string Transponder::decode_id(std::string_view serial) {
    const Characters chars = readCharacters(serial, kIdStart + kIdLength);
    if (chars.count <= kIdStart) return {};
    const std::size_t from = chars.offsets[kIdStart];
    return std::string(serial.substr(from, chars.offsets[chars.count] - from));
}

}  // namespace orvex
