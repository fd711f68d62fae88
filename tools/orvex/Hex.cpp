// SPDX-License-Identifier: Apache-2.0
#include "Hex.hpp"

#include <fmt/format.h>

namespace orvex::cli {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `text` with every byte outside printable ASCII shown as "\xNN", for one-line messages.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            out += fmt::format("\\x{:02X}", b);
        }
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text, std::string* error) {
    std::vector<std::uint8_t> bytes;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (isSpace(text[pos])) {
            ++pos;
            continue;
        }
        const std::size_t start = pos;
        while (pos < text.size() && !isSpace(text[pos])) ++pos;
        const std::string_view group = text.substr(start, pos - start);
        for (char c : group) {
            if (hexDigit(c) < 0) {
                return fail(error, fmt::format("not hex: \"{}\"", printable(group)));
            }
        }
        if (group.size() % 2 != 0) {
            return fail(error, fmt::format("odd number of hex digits: \"{}\"", printable(group)));
        }
        for (std::size_t i = 0; i < group.size(); i += 2) {
            bytes.push_back(
                static_cast<std::uint8_t>(hexDigit(group[i]) * 16 + hexDigit(group[i + 1])));
        }
    }
    return bytes;
}

std::optional<std::vector<std::uint8_t>> parseHex(const std::vector<std::string>& args,
                                                  std::string* error) {
    std::vector<std::uint8_t> bytes;
    for (const auto& arg : args) {
        auto part = parseHex(arg, error);
        if (!part) return std::nullopt;
        bytes.insert(bytes.end(), part->begin(), part->end());
    }
    return bytes;
}

std::string formatHex(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out.push_back(' ');
        out += fmt::format("{:02X}", bytes[i]);
    }
    return out;
}

}  // namespace orvex::cli
