// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "orvex/ScanResult.hpp"
#include "reader/Commands.hpp"

// Pure decoders of the reader's messages, shared by the link and the tools. None of them
// touches link state; each takes the bytes of one message, lead byte included.

namespace orvex::detail {

// Packed scan record (lead byte 88 or 8F): type byte 1 (0..6, anything else 0), country
// code bytes 2-3 big-endian capped at 999, national number bytes 4-8 as a 40-bit
// little-endian value; id "CCC NNNNNNNNNNNN". Bytes from 9 on are ignored. Fewer than 9
// bytes give a result with neither scan nor contact. The scan is dated `now`.
ScanResult decodePackedScan(std::span<const std::uint8_t> buffer, double now);

// Text scan record (lead byte 55) of N >= 31 bytes, one character per byte: type from
// bytes 1..8 (trimmed type name), id = bytes 9..N-7 as they are. Fewer than 31 bytes give
// a result with neither scan nor contact. The scan is dated `now`.
ScanResult decodeTextScan(std::span<const std::uint8_t> data, double now);

// Record number of an export record: bytes 1 to 3 (after the lead byte AA), cut at the
// first zero byte, read as UTF-8 and parsed as a signed decimal integer (optional sign,
// then digits only). -1 when there is no such number.
long exportRecordNumber(std::span<const std::uint8_t> record);

// Version text (lead byte 87): bytes 1 up to the first zero byte (or the end), read as
// UTF-8 with ill-formed sequences replaced by U+FFFD, with every
// "KESTRALON KX100 MOBILE" replaced by "KX100-M".
std::string versionText(std::span<const std::uint8_t> buffer);

// Battery percentage from the raw level byte: 134 is full scale, capped at 100.
long batteryLevel(std::uint8_t raw);

// A status message: at least 6 bytes, 55 then "QX,S"; byte 5 is the scan state.
bool isStatusMessage(const Bytes& notification);

// A payload with every FE byte doubled, as sent inside a command frame.
Bytes escapePayload(const Bytes& payload);
// The same into `out`, which is replaced; its capacity is kept, so a buffer that is used
// again soon stops allocating.
void escapePayloadInto(Bytes& out, std::span<const std::uint8_t> payload);

}  // namespace orvex::detail
