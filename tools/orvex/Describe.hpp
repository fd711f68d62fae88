// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

// Texts for people, and JSON for programs, of what the link reports.

namespace orvex::cli {

std::string describe(OrvexBluetoothError error);
std::string describe(OrvexConnectionError error);
std::string describe(OrvexDisconnectionCause cause);
std::string describe(OrvexContactStatus status);
std::string describe(OrvexDeviceUpdateStatus status);

// The case name ("wrongChip"), for JSON.
std::string caseName(OrvexContactStatus status);

// `text` without leading and trailing spaces.
std::string trimmed(std::string_view text);

// "FDX-B 999 000000012345", or "no transponder".
std::string describeReading(const std::optional<ScanResult>& result);
// "+44 7946 0001 / OWNER@EXAMPLE.COM" (trimmed), or "no contact".
std::string describeContact(const std::optional<ScanResult>& result);

// `text` without the trailing spaces and NUL bytes that pad a contact field.
std::string withoutPadding(std::string_view text);

// {"id", "type", "typeName", "contact": null or {"phone", "name"}}; the contact texts are
// the decoded texts without their trailing padding (`orvex contact decode` alone shows
// them exactly).
nlohmann::ordered_json readingJson(const std::optional<ScanResult>& result);

}  // namespace orvex::cli
