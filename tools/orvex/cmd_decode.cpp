// SPDX-License-Identifier: Apache-2.0
// orvex decode HEX...: one message from the reader, decoded by its first byte, as JSON.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Commands.hpp"
#include "Describe.hpp"
#include "Hex.hpp"
#include "model/Text.hpp"
#include "orvex/Contact.hpp"
#include "reader/Commands.hpp"
#include "reader/Messages.hpp"

namespace orvex::cli {

namespace {

using detail::Bytes;
using Json = nlohmann::ordered_json;

// A decoded message, or the reason it could not be decoded.
struct Decoded {
    std::optional<Json> json;
    std::string error;
};

Decoded tooShort(const char* kind, std::size_t need, std::size_t got) {
    return {std::nullopt, fmt::format("{} message needs {} bytes, got {}", kind, need, got)};
}

void addScan(Json& out, const ScanResult& result) {
    const auto& xpdr = result.scan->xpdr;
    out["type"] = xpdr->type;
    out["typeName"] = xpdr->typename_();
    out["id"] = xpdr->id;
}

Decoded describe(const Bytes& m) {
    namespace code = detail::code;
    if (m.empty()) return {std::nullopt, "no bytes given"};
    const std::size_t n = m.size();
    switch (m[0]) {
        case code::requestedScan:
        case code::scan: {
            if (n < detail::PACKED_SCAN_SIZE) return tooShort("packed scan", 9, n);
            Json out{{"kind", "packedScan"}};
            addScan(out, detail::decodePackedScan(m, 0));
            return {out, {}};
        }
        case code::text: {
            if (detail::isStatusMessage(m)) {
                Json out{{"kind", "status"}};
                const std::uint8_t state = m[5];
                out["active"] = state == detail::STATUS_BEGIN ? Json(true)
                                : state == detail::STATUS_END ? Json(false)
                                                              : Json(nullptr);
                out["state"] = detail::latin1ToUtf8(Bytes{state});
                return {out, {}};
            }
            if (n < detail::TEXT_SCAN_SIZE) return tooShort("text scan", 31, n);
            Json out{{"kind", "textScan"}};
            addScan(out, detail::decodeTextScan(m, 0));  // as the link does: all bytes
            return {out, {}};
        }
        case code::exportRecord: {
            if (n < detail::EXPORT_RECORD_SIZE) return tooShort("export", 37, n);
            const Bytes record(m.begin(), m.begin() + detail::EXPORT_RECORD_SIZE);
            Json out{{"kind", "export"}, {"number", detail::exportRecordNumber(record)}};
            addScan(out, detail::decodeTextScan(Bytes(record.begin() + 6, record.end()), 0));
            return {out, {}};
        }
        case code::contact: {
            if (n < detail::CONTACT_ANSWER_SIZE) return tooShort("contact", 25, n);
            Bytes record(m.begin() + 1, m.begin() + detail::CONTACT_ANSWER_SIZE);
            const auto contact = Contact::decode(record);
            Json out{{"kind", "contact"}, {"valid", contact != nullptr}};
            if (contact) {
                out["phone"] = withoutPadding(contact->phone);
                out["name"] = withoutPadding(contact->name);
            }
            return {out, {}};
        }
        case code::battery: {
            if (n < detail::BATTERY_ANSWER_SIZE) return tooShort("battery", 3, n);
            return {Json{{"kind", "battery"}, {"level", detail::batteryLevel(m[1])}}, {}};
        }
        case code::version: {
            if (std::find(m.begin() + 1, m.end(), 0) == m.end()) {
                return {std::nullopt, "version message has no terminating 00 byte"};
            }
            return {Json{{"kind", "version"}, {"text", detail::versionText(m)}}, {}};
        }
        case code::microAppCheck: {
            if (n < detail::MICRO_APP_ANSWER_SIZE) return tooShort("micro-app check answer", 3, n);
            const bool current = m[1] == 0x00 && m[2] == 0x01;
            return {Json{{"kind", "checkAnswer"}, {"current", current}}, {}};
        }
        default:
            return {std::nullopt, fmt::format("unknown message code {:02X}", m[0])};
    }
}

int decodeMessage(const std::vector<std::string>& hex) {
    std::string error;
    const auto bytes = parseHex(hex, &error);
    if (!bytes) {
        fmt::print(stderr, "orvex: decode: {}\n", error);
        return 2;
    }
    const Decoded decoded = describe(*bytes);
    if (!decoded.json) {
        fmt::print(stderr, "orvex: decode: {}\n", decoded.error);
        return 2;
    }
    fmt::print("{}\n", decoded.json->dump(-1, ' ', false, Json::error_handler_t::replace));
    return 0;
}

}  // namespace

void addDecodeCommand(CLI::App& app, CommandContext& ctx) {
    auto hex = std::make_shared<std::vector<std::string>>();
    auto* decode = app.add_subcommand(
        "decode",
        "Decode one message from the reader (hex, lead byte first) and print it as JSON: "
        "packedScan (88, 8F), textScan or status (55), export (AA), contact (10), "
        "battery (8E), version (87), checkAnswer (84)");
    decode->add_option("hex", *hex, "Message bytes in hex; spaces allowed")->required();
    decode->callback([hex, &ctx] { ctx.exitCode = decodeMessage(*hex); });
}

}  // namespace orvex::cli
