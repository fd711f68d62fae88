// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "model/Text.hpp"
#include "orvex/Message.hpp"
#include "reader/Commands.hpp"
#include "reader/Messages.hpp"

namespace orvex {

namespace {

DecodedMessage tooShort(const char* kind, std::size_t need, std::size_t got) {
    return {std::nullopt, fmt::format("{} message needs {} bytes, got {}", kind, need, got)};
}

DecodedMessage decoded(ReaderMessage message) {
    return {std::move(message), {}};
}

}  // namespace

DecodedMessage decodeMessage(std::span<const std::uint8_t> m) {
    namespace code = detail::code;
    if (m.empty()) return {std::nullopt, "no bytes given"};
    const std::size_t n = m.size();
    ReaderMessage out;
    switch (m[0]) {
        case code::requestedScan:
        case code::scan:
            if (n < detail::PACKED_SCAN_SIZE) {
                return tooShort("packed scan", detail::PACKED_SCAN_SIZE, n);
            }
            out.kind = MessageKind::packedScan;
            out.reading = detail::decodePackedScan(detail::Bytes(m.begin(), m.end()), 0);
            return decoded(std::move(out));
        case code::text:
            if (detail::isStatusMessage(detail::Bytes(m.begin(), m.end()))) {
                const std::uint8_t state = m[5];
                out.kind = MessageKind::scanStatus;
                if (state == detail::STATUS_BEGIN) out.scanning = true;
                if (state == detail::STATUS_END) out.scanning = false;
                out.text = detail::latin1ToUtf8(m.subspan(5, 1));
                return decoded(std::move(out));
            }
            if (n < detail::TEXT_SCAN_SIZE) return tooShort("text scan", detail::TEXT_SCAN_SIZE, n);
            out.kind = MessageKind::textScan;
            out.reading = detail::decodeTextScan(m, 0);
            return decoded(std::move(out));
        case code::exportRecord: {
            if (n < detail::EXPORT_RECORD_SIZE) {
                return tooShort("export", detail::EXPORT_RECORD_SIZE, n);
            }
            const auto record = m.first(detail::EXPORT_RECORD_SIZE);
            out.kind = MessageKind::exportRecord;
            out.number = detail::exportRecordNumber(record);
            out.reading = detail::decodeTextScan(
                record.subspan(detail::EXPORT_RECORD_SIZE - detail::TEXT_SCAN_SIZE), 0);
            return decoded(std::move(out));
        }
        case code::contact: {
            if (n < detail::CONTACT_ANSWER_SIZE) {
                return tooShort("contact", detail::CONTACT_ANSWER_SIZE, n);
            }
            std::vector<std::uint8_t> record(m.begin() + 1, m.begin() + detail::CONTACT_ANSWER_SIZE);
            out.kind = MessageKind::contact;
            out.contact = Contact::decode(record);
            return decoded(std::move(out));
        }
        case code::battery:
            if (n < detail::BATTERY_ANSWER_SIZE) {
                return tooShort("battery", detail::BATTERY_ANSWER_SIZE, n);
            }
            out.kind = MessageKind::battery;
            out.batteryLevel = detail::batteryLevel(m[1]);
            return decoded(std::move(out));
        case code::version:
            if (std::find(m.begin() + 1, m.end(), 0) == m.end()) {
                return {std::nullopt, "version message has no terminating 00 byte"};
            }
            out.kind = MessageKind::version;
            out.text = detail::versionText(detail::Bytes(m.begin(), m.end()));
            return decoded(std::move(out));
        case code::microAppCheck:
            if (n < detail::MICRO_APP_ANSWER_SIZE) {
                return tooShort("micro-app check answer", detail::MICRO_APP_ANSWER_SIZE, n);
            }
            out.kind = MessageKind::microAppCheck;
            out.microAppCurrent = m[1] == 0x00 && m[2] == 0x01;
            return decoded(std::move(out));
        default:
            return {std::nullopt, fmt::format("unknown message code {:02X}", m[0])};
    }
}

const char* to_string(MessageKind kind) {
    switch (kind) {
        case MessageKind::packedScan: return "packedScan";
        case MessageKind::textScan: return "textScan";
        case MessageKind::scanStatus: return "scanStatus";
        case MessageKind::exportRecord: return "exportRecord";
        case MessageKind::contact: return "contact";
        case MessageKind::battery: return "battery";
        case MessageKind::version: return "version";
        case MessageKind::microAppCheck: return "microAppCheck";
    }
    return "unknown";
}

}  // namespace orvex
