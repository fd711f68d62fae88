// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "orvex/sim/SimReader.hpp"

// The messages the simulated reader sends, built byte for byte.

namespace orvex::sim {

using Bytes = std::vector<std::uint8_t>;

namespace answer {
inline constexpr std::uint8_t contact = 0x10;
inline constexpr std::uint8_t contactWritten = 0x11;
inline constexpr std::uint8_t contactNotWritten = 0x12;
inline constexpr std::uint8_t text = 0x55;
inline constexpr std::uint8_t noResult = 0x7E;
inline constexpr std::uint8_t negative = 0x7F;
inline constexpr std::uint8_t ack = 0x80;
inline constexpr std::uint8_t lockAck = 0x81;
inline constexpr std::uint8_t sliceAck = 0x82;
inline constexpr std::uint8_t unlockAck = 0x83;
inline constexpr std::uint8_t microAppCheck = 0x84;
inline constexpr std::uint8_t version = 0x87;
inline constexpr std::uint8_t requestedScan = 0x88;
inline constexpr std::uint8_t battery = 0x8E;
inline constexpr std::uint8_t scan = 0x8F;
inline constexpr std::uint8_t exportRecord = 0xAA;
}  // namespace answer

inline constexpr std::size_t kPackedRecordSize = 9;
inline constexpr std::size_t kTextRecordSize = 31;
inline constexpr std::size_t kExportRecordSize = 37;
inline constexpr std::size_t kStatusSize = 6;

// `lead` (88 or 8F), type, country big-endian, national number 40-bit little-endian.
Bytes packedRecord(std::uint8_t lead, const SimTag& tag);

// 55, the 8-character type name padded with spaces, the 16-character id, then six trailing
// bytes (four spaces, CR, LF).
Bytes textRecord(const SimTag& tag);

// AA, the record number as three zero-padded ASCII digits (number modulo 1000, so 1000
// prints as "000"), two zero bytes, then the 31-byte text record.
Bytes exportRecord(std::size_t number, const SimTag& tag);

// 55 "QX,S" and the state byte ('B' reading starts, 'E' reading ends).
Bytes statusMessage(char state);

// 87, the version text, 00.
Bytes versionMessage(std::string_view text);

// 8E, the raw level byte (134 is full), a charging flag byte (00).
Bytes batteryMessage(std::uint8_t raw);

}  // namespace orvex::sim
