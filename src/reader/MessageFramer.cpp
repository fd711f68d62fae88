// SPDX-License-Identifier: Apache-2.0
#include "reader/MessageFramer.hpp"

#include <algorithm>
#include <array>

namespace orvex::detail {

namespace {

using Outcome = Framing::Outcome;

constexpr Framing whole(MessageKind kind, std::size_t length) {
    return {Outcome::whole, kind, length};
}
constexpr Framing dropping(std::size_t length) {
    return {Outcome::drop, MessageKind::noResult, length};
}

// "UQX,S": the status message up to its state byte.
constexpr std::array<std::uint8_t, 5> kStatusHead{code::text, 'Q', 'X', ',', 'S'};

// A message of `length` bytes: whole once they are there.
Framing fixed(std::span<const std::uint8_t> bytes, MessageKind kind, std::size_t length) {
    if (bytes.size() < length) return {Outcome::partial, kind, length};
    return whole(kind, length);
}

// Where the status tag starts inside a record of text (after its first byte), or 0. A tag
// cut off by the end of what has arrived counts when what is there matches its start.
std::size_t statusTagInside(std::span<const std::uint8_t> record) {
    for (std::size_t at = 1; at < record.size(); ++at) {
        if (record[at] != code::text) continue;
        const std::size_t n = std::min(kStatusHead.size(), record.size() - at);
        if (std::equal(kStatusHead.begin(), kStatusHead.begin() + static_cast<std::ptrdiff_t>(n),
                       record.begin() + static_cast<std::ptrdiff_t>(at))) {
            if (n == kStatusHead.size()) return at;
            return 0;  // perhaps a tag; the next bytes tell
        }
    }
    return 0;
}

// A record holding text: dropped up to a status tag inside it, else a fixed length.
Framing textRecord(std::span<const std::uint8_t> bytes, MessageKind kind, std::size_t length,
                   std::size_t textFrom) {
    const auto head = bytes.first(std::min(bytes.size(), length));
    if (head.size() > textFrom) {
        if (const std::size_t tag = statusTagInside(head.subspan(textFrom))) {
            return dropping(textFrom + tag);
        }
    }
    return fixed(bytes, kind, length);
}

Framing fromText(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), kStatusHead.size());
    if (std::equal(kStatusHead.begin(), kStatusHead.begin() + static_cast<std::ptrdiff_t>(n),
                   bytes.begin())) {
        return fixed(bytes, MessageKind::status, STATUS_MESSAGE_SIZE);
    }
    return textRecord(bytes, MessageKind::textReading, TEXT_SCAN_SIZE, 0);
}

Framing versionText(std::span<const std::uint8_t> bytes) {
    const auto limit = bytes.first(std::min(bytes.size(), VERSION_MAX_SIZE));
    const auto zero = std::find(limit.begin() + 1, limit.end(), 0x00);
    if (zero != limit.end()) {
        return whole(MessageKind::version, static_cast<std::size_t>(zero - limit.begin()) + 1);
    }
    if (limit.size() == VERSION_MAX_SIZE) return dropping(VERSION_MAX_SIZE);
    return {Outcome::partial, MessageKind::version, VERSION_MAX_SIZE};
}

// The bytes after the lead byte of an export record at which its text reading starts.
constexpr std::size_t kExportTextFrom = EXPORT_RECORD_SIZE - TEXT_SCAN_SIZE;

// The messages whose length the lead byte alone fixes.
struct FixedMessage {
    std::uint8_t lead;
    MessageKind kind;
    std::size_t length;
};
constexpr FixedMessage kFixedMessages[] = {
    {code::contact, MessageKind::contact, CONTACT_ANSWER_SIZE},
    {code::contactWritten, MessageKind::contactWritten, 1},
    {code::contactNotWritten, MessageKind::contactNotWritten, 1},
    {code::noResult, MessageKind::noResult, 1},
    {code::negative, MessageKind::negative, 1},
    {code::ack, MessageKind::ack, 1},
    {code::lockAck, MessageKind::lockAck, 1},
    {code::sliceAck, MessageKind::sliceAck, 1},
    {code::unlockAck, MessageKind::unlockAck, 1},
    {code::microAppCheck, MessageKind::microAppCheck, MICRO_APP_ANSWER_SIZE},
    {code::requestedScan, MessageKind::requestedReading, PACKED_SCAN_SIZE},
    {code::battery, MessageKind::battery, BATTERY_ANSWER_SIZE},
    {code::scan, MessageKind::reading, PACKED_SCAN_SIZE},
};

}  // namespace

Framing frameStart(std::span<const std::uint8_t> bytes) {
    switch (bytes.front()) {
        case code::text:
            return fromText(bytes);
        case code::version:
            return versionText(bytes);
        case code::exportRecord:
            return textRecord(bytes, MessageKind::exportRecord, EXPORT_RECORD_SIZE,
                              kExportTextFrom);
        default:
            break;
    }
    for (const auto& m : kFixedMessages) {
        if (m.lead == bytes.front()) return fixed(bytes, m.kind, m.length);
    }
    return dropping(1);
}

std::size_t exportRun(std::span<const std::uint8_t> bytes) {
    std::size_t length = EXPORT_RECORD_SIZE;
    while (bytes.size() - length >= EXPORT_RECORD_SIZE && bytes[length] == code::exportRecord) {
        const Framing next = frameStart(bytes.subspan(length));
        if (next.outcome != Outcome::whole) break;
        length += EXPORT_RECORD_SIZE;
    }
    return length;
}

}  // namespace orvex::detail
