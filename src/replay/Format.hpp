// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"
#include "orvex/platform/Platform.hpp"

// How replay prints values.

namespace orvex::sim::format {

// In double quotes; `"` and `\` escaped by a backslash; code points below 0x20 and 0x7F as
// \u{H}. Bytes that are not well-formed UTF-8 print as U+FFFD.
std::string text(std::string_view s);
// Upper-case hex, bytes separated by one space.
std::string hex(const platform::Bytes& bytes);
// [A, B, ...]
std::string uuidList(const std::vector<platform::Uuid>& uuids);
// A peripheral's name as a text, or - when it has none.
std::string peripheralName(const std::optional<std::string>& name);
std::string boolean(bool b);

// nil or {scan: SCAN, contact: CONTACT}
std::string result(const std::optional<ScanResult>& result);

// Enumeration values by case name.
std::string name(OrvexBluetoothError e);
std::string name(OrvexConnectionError e);
std::string name(OrvexDisconnectionCause e);
std::string name(OrvexContactStatus e);
std::string name(OrvexDeviceUpdateStatus e);
std::string name(platform::WriteType t);

}  // namespace orvex::sim::format
