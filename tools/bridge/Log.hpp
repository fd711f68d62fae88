// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

// The bridge's log: one line per event on standard error, "orvex bridge: <level>: text".
// Nothing secret is ever handed to it (passwords and key contents stay in the config).

namespace orvex::bridge {

enum class LogLevel { error, warning, info, debug };

// Lines above `level` are left out (default: info).
void setLogLevel(LogLevel level);
void log(LogLevel level, std::string_view message);

inline void logError(std::string_view message) { log(LogLevel::error, message); }
inline void logWarning(std::string_view message) { log(LogLevel::warning, message); }
inline void logInfo(std::string_view message) { log(LogLevel::info, message); }
inline void logDebug(std::string_view message) { log(LogLevel::debug, message); }

}  // namespace orvex::bridge
