// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvex::platform {

// A Bluetooth UUID. Short (16-bit) UUIDs are stored expanded on the Bluetooth base UUID,
// so "FFE0" and "0000FFE0-0000-1000-8000-00805F9B34FB" are equal. The text form prints
// UUIDs on the base in short form ("FFE0"), all others upper case with hyphens.
class Uuid {
public:
    Uuid() = default;
    // Accepts 4 hex digits (16-bit), 8 hex digits (32-bit) or the 36-character form,
    // in either case. Throws std::invalid_argument for anything else.
    explicit Uuid(std::string_view text);
    static std::optional<Uuid> parse(std::string_view text);

    std::string str() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace orvex::platform
