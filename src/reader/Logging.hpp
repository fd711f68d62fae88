// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "orvex/Log.hpp"
#include "orvex/platform/Platform.hpp"

// The library's side of the log hook. Call it only where no lock of the library is held:
// the handler runs inside the call.

namespace orvex::detail {

// The most detailed level a handler takes, -1 when none is installed (setLogHandler).
extern std::atomic<int> logThreshold;

// Whether a message of `level` would reach a handler: one load, inline, as it is asked on
// every notification and write.
inline bool logs(LogLevel level) {
    return static_cast<int>(level) <= logThreshold.load(std::memory_order_relaxed);
}
// Hands `message` to the handler, if one is installed for `level`.
void logText(LogLevel level, std::string_view message);

template <class... Args>
void log(LogLevel level, fmt::format_string<Args...> format, Args&&... args) {
    if (!logs(level)) return;
    logText(level, fmt::format(format, std::forward<Args>(args)...));
}

// "FE 00 07 FE 01".
std::string hex(const std::vector<std::uint8_t>& bytes);

// "KX-BT4 SIM [02:4B:...]" for messages about a peripheral.
std::string describe(const platform::Peripheral& peripheral);

// Trace lines for one frame written to / one notification received from `peripheral`.
void traceWriteText(const platform::Peripheral& peripheral, const std::vector<std::uint8_t>& bytes);
void traceNotificationText(const platform::Peripheral& peripheral,
                           const std::vector<std::uint8_t>& bytes);
inline void traceWrite(const platform::Peripheral& peripheral,
                       const std::vector<std::uint8_t>& bytes) {
    if (logs(LogLevel::trace)) traceWriteText(peripheral, bytes);
}
inline void traceNotification(const platform::Peripheral& peripheral,
                              const std::vector<std::uint8_t>& bytes) {
    if (logs(LogLevel::trace)) traceNotificationText(peripheral, bytes);
}

}  // namespace orvex::detail
