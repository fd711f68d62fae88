// SPDX-License-Identifier: Apache-2.0
#include "Payloads.hpp"

#include <chrono>
#include <cmath>
#include <ctime>

#include <fmt/format.h>

namespace orvex::bridge {

namespace {

using nlohmann::json;

json originJson(const Origin& origin, double time) {
    return json{{"seq", origin.seq},
                {"time", isoTime(time)},
                {"gateway", origin.gateway},
                {"reader", origin.reader}};
}

// Reader texts may hold bytes that are not UTF-8; they are kept, one character per byte.
std::string utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3
                                           : (byte >> 3) == 30  ? 4
                                                                : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string isoTime(double epochSeconds) {
    const double whole = std::floor(epochSeconds);
    auto millis = static_cast<int>(std::lround((epochSeconds - whole) * 1000.0));
    auto seconds = static_cast<std::time_t>(whole);
    if (millis == 1000) {
        millis = 0;
        ++seconds;
    }
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900,
                       utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

json tagJson(const ScanResult& result) {
    json tag = json::object();
    if (result.scan && result.scan->xpdr) {
        tag["id"] = utf8(result.scan->xpdr->id);
        tag["type"] = result.scan->xpdr->typename_();
        tag["type_raw"] = result.scan->xpdr->type;
    } else {
        tag["id"] = nullptr;
        tag["type"] = nullptr;
        tag["type_raw"] = nullptr;
    }
    if (result.contact) {
        tag["contact"] = json{{"phone", utf8(result.contact->phone)},
                              {"email", utf8(result.contact->name)}};
    } else {
        tag["contact"] = nullptr;
    }
    return tag;
}

std::string readingPayload(const Origin& origin, const ScanResult& result, ReadingSource source) {
    const double time = result.scan ? result.scan->date : nowSeconds();
    json body = originJson(origin, time);
    body["source"] = source == ReadingSource::host ? "host" : "trigger";
    body["tag"] = tagJson(result);
    return body.dump();
}

std::string exportPayload(const Origin& origin, const std::optional<ScanResult>& result,
                          long number, double time) {
    json body = originJson(origin, time);
    body["number"] = number < 0 ? json(nullptr) : json(number);
    body["tag"] = result ? tagJson(*result) : json(nullptr);
    return body.dump();
}

std::string statusPayload(const Origin& origin, const ReaderStatus& status, double time) {
    json body = originJson(origin, time);
    body["state"] = status.state;
    body["version"] = status.version.empty() ? json(nullptr) : json(utf8(status.version));
    body["battery"] = status.battery ? json(*status.battery) : json(nullptr);
    body["micro_app"] = status.microApp;
    body["error"] = status.lastError.empty() ? json(nullptr) : json(status.lastError);
    body["spool"] = json{{"messages", status.spoolMessages},
                         {"limit", status.spoolLimit},
                         {"full", status.spoolFull},
                         {"refused", status.refused}};
    body["bridge_version"] = ORVEX_BRIDGE_VERSION;
    return body.dump();
}

std::string gatewayStatusPayload(std::string_view gateway, bool online, double time) {
    return json{{"gateway", gateway},
                {"state", online ? "online" : "offline"},
                {"time", isoTime(time)},
                {"bridge_version", ORVEX_BRIDGE_VERSION}}
        .dump();
}

CommandRequest parseCommand(std::string_view payload) {
    CommandRequest request;
    if (payload.empty()) return request;  // a command with no fields
    auto body = json::parse(payload, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) {
        request.error = "the payload is not JSON";
        return request;
    }
    if (!body.is_object()) {
        request.error = "the payload is not a JSON object";
        return request;
    }
    if (const auto id = body.find("id"); id != body.end()) {
        if (id->is_string()) {
            request.id = id->get<std::string>();
        } else if (id->is_number_integer()) {
            request.id = id->dump();
        } else {
            request.error = "\"id\" must be a string or a whole number";
        }
    }
    request.body = std::move(body);
    return request;
}

std::string replyPayload(const Origin& origin, std::string_view id, std::string_view command,
                         bool ok, std::string_view error, const json& extra) {
    json body = originJson(origin, nowSeconds());
    body["id"] = id.empty() ? json(nullptr) : json(id);
    body["command"] = command;
    body["ok"] = ok;
    if (!error.empty()) body["error"] = error;
    if (extra.is_object()) {
        for (const auto& [key, value] : extra.items()) body[key] = value;
    }
    return body.dump();
}

std::string contactStatusName(OrvexContactStatus status) {
    switch (status) {
        case OrvexContactStatus::success:
            return "success";
        case OrvexContactStatus::contactReadTimeout:
            return "contact-read-timeout";
        case OrvexContactStatus::writeOperationFailed:
            return "write-operation-failed";
        case OrvexContactStatus::wrongChip:
            return "wrong-chip";
        case OrvexContactStatus::protocolError:
            return "protocol-error";
    }
    return "unknown";
}

std::string updateStatusName(OrvexDeviceUpdateStatus status) {
    switch (status) {
        case OrvexDeviceUpdateStatus::successful:
            return "current";
        case OrvexDeviceUpdateStatus::failed:
            return "update-failed";
        case OrvexDeviceUpdateStatus::unableToStart:
            return "update-unable-to-start";
        case OrvexDeviceUpdateStatus::initializationError:
            return "update-initialization-error";
        case OrvexDeviceUpdateStatus::readerLockingFailed:
            return "update-reader-locking-failed";
        case OrvexDeviceUpdateStatus::sliceUploadFailed:
            return "update-slice-upload-failed";
        case OrvexDeviceUpdateStatus::readerUnlockingFailed:
            return "update-reader-unlocking-failed";
    }
    return "unknown";
}

}  // namespace orvex::bridge
