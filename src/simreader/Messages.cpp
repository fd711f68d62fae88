// SPDX-License-Identifier: Apache-2.0
#include "simreader/Messages.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace orvex::sim {

Bytes packedRecord(std::uint8_t lead, const SimTag& tag) {
    Bytes out{lead, static_cast<std::uint8_t>(tag.type),
              static_cast<std::uint8_t>(tag.country >> 8),
              static_cast<std::uint8_t>(tag.country & 0xFF)};
    for (int i = 0; i < 5; ++i) {
        out.push_back(static_cast<std::uint8_t>((tag.nationalNumber >> (8 * i)) & 0xFF));
    }
    return out;
}

Bytes textRecord(const SimTag& tag) {
    Bytes out{answer::text};
    const std::string type = tag.typeField();
    out.insert(out.end(), type.begin(), type.end());
    std::string id = tag.id();
    id.resize(16, ' ');
    out.insert(out.end(), id.begin(), id.end());
    for (std::uint8_t b : {' ', ' ', ' ', ' ', '\r', '\n'}) out.push_back(b);
    return out;
}

Bytes exportRecord(std::size_t number, const SimTag& tag) {
    const std::string digits = fmt::format("{:03d}", number % 1000);
    Bytes out{answer::exportRecord};
    out.insert(out.end(), digits.begin(), digits.end());
    out.push_back(0x00);
    out.push_back(0x00);
    const Bytes text = textRecord(tag);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes statusMessage(char state) {
    return Bytes{answer::text, 'Q', 'X', ',', 'S', static_cast<std::uint8_t>(state)};
}

Bytes versionMessage(std::string_view text) {
    Bytes out(text.size() + 2, 0x00);
    out[0] = answer::version;
    std::copy(text.begin(), text.end(), out.begin() + 1);
    return out;
}

Bytes batteryMessage(std::uint8_t raw) {
    return Bytes{answer::battery, raw, 0x00};
}

}  // namespace orvex::sim
