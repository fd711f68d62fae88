// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "orvex/Contact.hpp"
#include "orvex/Export.hpp"
#include "orvex/ScanResult.hpp"

/// @file
/// One message from the reader, decoded on its own, outside a link: for bytes taken from a
/// log, a recording or a capture. A link decodes the same way while it runs a session.

namespace orvex {

/// What a message from the reader is, by its lead byte (and, for 55, by its content).
enum class MessageKind {
    packedScan,     ///< 88 or 8F: a reading in 9 bytes.
    textScan,       ///< 55: a reading as text, 31 bytes or more.
    scanStatus,     ///< 55 "QX,S" and a state byte: the reader's own scan began or ended.
    exportRecord,   ///< AA: a stored reading, 37 bytes.
    contact,        ///< 10: the owner contact read from a tag, 25 bytes.
    battery,        ///< 8E: the battery level, 3 bytes.
    version,        ///< 87: the reader's version text, ended by a 00 byte.
    microAppCheck,  ///< 84: whether the reader's micro app is current, 3 bytes.
};

/// A decoded message. Only the members that belong to its kind are set; the others keep
/// their defaults.
struct ORVEX_EXPORT ReaderMessage {
    /// What the message is.
    MessageKind kind = MessageKind::packedScan;
    /// packedScan, textScan, exportRecord: the reading, dated 0 (the message carries no
    /// time). Its scan has no transponder when the record names none.
    ScanResult reading;
    /// exportRecord: the record's number, or -1 when it has none.
    long number = -1;
    /// scanStatus: true when the reader's scan began ('B'), false when it ended ('E'),
    /// nothing for another state byte.
    std::optional<bool> scanning;
    /// scanStatus: the state byte as text. version: the version text.
    std::string text;
    /// contact: the contact, or null when its checksum or contents are not valid.
    std::shared_ptr<Contact> contact;
    /// battery: the level in percent (0 to 100).
    long batteryLevel = 0;
    /// microAppCheck: whether the reader says its micro app is current.
    bool microAppCurrent = false;
};

/// The outcome of decodeMessage(): a message, or the reason there is none.
struct ORVEX_EXPORT DecodedMessage {
    /// The message, when the bytes hold one.
    std::optional<ReaderMessage> message;
    /// Why there is no message (empty when there is one), e.g.
    /// "export message needs 37 bytes, got 12" or "unknown message code 42".
    std::string error;
};

/// Decodes one whole message from the reader, lead byte first. Bytes after the message's
/// own length are ignored (a text scan takes them all, as the link does).
/// @param bytes the message as it arrived, possibly in several notifications joined.
/// @return the message, or the reason it cannot be decoded. Never throws for any input.
ORVEX_EXPORT DecodedMessage decodeMessage(std::span<const std::uint8_t> bytes);

/// The name of a message kind as written here ("packedScan", "exportRecord", ...).
ORVEX_EXPORT const char* to_string(MessageKind kind);

}  // namespace orvex
