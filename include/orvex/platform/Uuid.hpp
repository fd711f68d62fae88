// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvex/Export.hpp"

/// @file
/// Bluetooth UUIDs, platform::Uuid.

namespace orvex::platform {

/// A Bluetooth UUID. Short (16-bit) UUIDs are stored expanded on the Bluetooth base UUID,
/// so "FFE0" and "0000FFE0-0000-1000-8000-00805F9B34FB" are equal. The text form prints
/// UUIDs on the base in short form ("FFE0"), all others upper case with hyphens.
class ORVEX_EXPORT Uuid {
public:
    /// The nil UUID (all zero).
    Uuid() = default;
    /// Parses a UUID text: 4 hex digits (16-bit), 8 hex digits (32-bit) or the 36-character
    /// form with hyphens, in either case.
    /// @param text the UUID text.
    /// @throws std::invalid_argument for anything else.
    explicit Uuid(std::string_view text);
    /// Parses a UUID text as the constructor does.
    /// @param text the UUID text.
    /// @return the UUID; empty when the text is not one.
    static std::optional<Uuid> parse(std::string_view text);

    /// The text form: 4 upper-case hex digits (`"FFE0"`) for a 16-bit UUID on the base,
    /// otherwise (32-bit ones too) the 36 upper-case characters with hyphens.
    std::string str() const;
    /// The 16 bytes, most significant first.
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    /// Equal when the 16 bytes are equal.
    friend bool operator==(const Uuid&, const Uuid&) = default;
    /// Orders by the 16 bytes, most significant first. (Written out: some standard
    /// libraries, such as Emscripten's, have no <=> for std::array.)
    friend std::strong_ordering operator<=>(const Uuid& a, const Uuid& b) {
        for (std::size_t i = 0; i < a.bytes_.size(); ++i) {
            if (a.bytes_[i] != b.bytes_[i]) return a.bytes_[i] <=> b.bytes_[i];
        }
        return std::strong_ordering::equal;
    }

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace orvex::platform
