// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

// The JSON bodies of the bridge's messages. Field names are stable: consumers rely on them
// (the README lists them). Every message of a reader carries `seq`, its place in that
// reader's stream, and `time`, when what it reports happened.

namespace orvex::bridge {

// Where a message comes from: the gateway, the reader, and the reader's sequence number.
struct Origin {
    std::string gateway;
    std::string reader;
    std::int64_t seq = 0;
};

// "2026-01-31T12:00:00.250Z" for seconds since the Unix epoch.
std::string isoTime(double epochSeconds);
// Seconds since the Unix epoch, now.
double nowSeconds();

// The tag and contact of a reading: {"id", "type", "type_raw", "contact": {phone, email}|null}.
nlohmann::json tagJson(const ScanResult& result);

// How a reading came about.
enum class ReadingSource { host, trigger };

std::string readingPayload(const Origin& origin, const ScanResult& result, ReadingSource source);
// `number` -1 (none) is written as null; an unreadable record has "tag": null.
std::string exportPayload(const Origin& origin, const std::optional<ScanResult>& result,
                          long number, double time);

// What a reader's status message says.
struct ReaderStatus {
    // "connecting", "connected", "disconnected", "bluetooth-unavailable", "stopped"
    std::string state = "connecting";
    std::string version;
    std::optional<long> battery;
    // "unknown", "current", "updating", or the outcome of a failed update
    std::string microApp = "unknown";
    std::string lastError;
    // The spool and what it refused.
    std::size_t spoolMessages = 0;
    std::size_t spoolLimit = 0;
    bool spoolFull = false;
    std::uint64_t refused = 0;
};
std::string statusPayload(const Origin& origin, const ReaderStatus& status, double time);

// The gateway's status (no sequence number: it is not a reader's).
std::string gatewayStatusPayload(std::string_view gateway, bool online, double time);

// A command as sent to <reader>/cmd/<command>: a JSON object with an optional "id"
// (the correlation id echoed in the reply) and the command's fields.
struct CommandRequest {
    std::string id;
    nlohmann::json body = nlohmann::json::object();
    // Why the payload is not a usable command (empty: it is).
    std::string error;
};
CommandRequest parseCommand(std::string_view payload);

// The reply: {"seq", "time", "gateway", "reader", "id", "command", "ok", "error"?, ...extra}.
std::string replyPayload(const Origin& origin, std::string_view id, std::string_view command,
                         bool ok, std::string_view error, const nlohmann::json& extra);

// Names of the contact-write outcomes ("success", "contact-read-timeout", ...).
std::string contactStatusName(OrvexContactStatus status);
std::string updateStatusName(OrvexDeviceUpdateStatus status);

}  // namespace orvex::bridge
