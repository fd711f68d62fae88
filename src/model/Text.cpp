// SPDX-License-Identifier: Apache-2.0
#include "model/Text.hpp"

#include <algorithm>

namespace orvex::detail {

Utf8Step readUtf8(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) return {lead, 1, true};

    // Continuation count and the allowed range of the first continuation byte.
    std::size_t need = 0;
    std::uint8_t lower = 0x80;
    std::uint8_t upper = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) lower = 0xA0;  // no overlong forms
        if (lead == 0xED) upper = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) lower = 0x90;  // no overlong forms
        if (lead == 0xF4) upper = 0x8F;  // nothing above U+10FFFF
    } else {
        return {lead, 1, false};
    }
    for (std::size_t i = 1; i <= need; ++i) {
        if (pos + i >= text.size()) return {lead, i, false};
        const std::uint8_t b = byte(pos + i);
        if (b < lower || b > upper) return {lead, i, false};
        cp = (cp << 6) | (b & 0x3F);
        lower = 0x80;
        upper = 0xBF;
    }
    return {cp, need + 1, true};
}

void appendUtf8(std::string& out, char32_t cp) {
    const auto put = [&](unsigned v) { out.push_back(static_cast<char>(v)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

std::string latin1ToUtf8(std::span<const std::uint8_t> bytes) {
    const auto high = static_cast<std::size_t>(
        std::count_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b >= 0x80; }));
    std::string out(bytes.size() + high, '\0');
    char* p = out.data();
    if (high == 0) {
        std::copy(bytes.begin(), bytes.end(), p);
        return out;
    }
    // 80..FF are U+0080..U+00FF: C2 or C3, then the low six bits.
    for (std::uint8_t b : bytes) {
        if (b < 0x80) {
            *p++ = static_cast<char>(b);
        } else {
            *p++ = static_cast<char>(0xC0 | (b >> 6));
            *p++ = static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string latin1ToUtf8(const std::vector<std::uint8_t>& bytes) {
    return latin1ToUtf8(std::span<const std::uint8_t>(bytes));
}

std::string utf8Lossy(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Step step = readUtf8(text, pos);
        if (step.valid) {
            out.append(text.substr(pos, step.length));
        } else {
            appendUtf8(out, U'\uFFFD');
        }
        pos += step.length;
    }
    return out;
}

}  // namespace orvex::detail
