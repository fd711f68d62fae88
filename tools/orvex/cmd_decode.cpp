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
#include "orvex/Message.hpp"

namespace orvex::cli {

namespace {

using Json = nlohmann::ordered_json;

void addScan(Json& out, const ScanResult& result) {
    const auto xpdr = result.scan ? result.scan->xpdr : nullptr;
    if (!xpdr) {
        out["type"] = nullptr;
        out["typeName"] = nullptr;
        out["id"] = nullptr;
        return;
    }
    out["type"] = xpdr->type;
    out["typeName"] = xpdr->typename_();
    out["id"] = xpdr->id;
}

// The tool's own names for the kinds (its JSON output is relied on by scripts).
Json messageJson(const ReaderMessage& m) {
    switch (m.kind) {
        case MessageKind::packedScan:
        case MessageKind::textScan: {
            Json out{{"kind", m.kind == MessageKind::packedScan ? "packedScan" : "textScan"}};
            addScan(out, m.reading);
            return out;
        }
        case MessageKind::scanStatus:
            return Json{{"kind", "status"},
                        {"active", m.scanning ? Json(*m.scanning) : Json(nullptr)},
                        {"state", m.text}};
        case MessageKind::exportRecord: {
            Json out{{"kind", "export"}, {"number", m.number}};
            addScan(out, m.reading);
            return out;
        }
        case MessageKind::contact: {
            Json out{{"kind", "contact"}, {"valid", m.contact != nullptr}};
            if (m.contact) {
                out["phone"] = withoutPadding(m.contact->phone);
                out["name"] = withoutPadding(m.contact->name);
            }
            return out;
        }
        case MessageKind::battery:
            return Json{{"kind", "battery"}, {"level", m.batteryLevel}};
        case MessageKind::version:
            return Json{{"kind", "version"}, {"text", m.text}};
        case MessageKind::microAppCheck:
            return Json{{"kind", "checkAnswer"}, {"current", m.microAppCurrent}};
    }
    return Json{{"kind", to_string(m.kind)}};
}

int decodeMessage(const std::vector<std::string>& hex) {
    std::string error;
    const auto bytes = parseHex(hex, &error);
    if (!bytes) {
        fmt::print(stderr, "orvex: decode: {}\n", error);
        return 2;
    }
    const DecodedMessage decoded = orvex::decodeMessage(*bytes);
    if (!decoded.message) {
        fmt::print(stderr, "orvex: decode: {}\n", decoded.error);
        return 2;
    }
    const Json json = messageJson(*decoded.message);
    fmt::print("{}\n", json.dump(-1, ' ', false, Json::error_handler_t::replace));
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
