// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string_view>

#include "orvex/Export.hpp"

/// \file
/// What the library does, told to a host that asks. Off by default: until a handler is
/// installed the library writes nothing anywhere.
///
/// \code
/// orvex::setLogHandler(orvex::LogLevel::info, [](orvex::LogLevel level, std::string_view text) {
///     std::cerr << orvex::to_string(level) << ": " << text << '\n';
/// });
/// \endcode
///
/// Rules the library keeps:
/// - The handler is never called while the library holds a lock of its own, so it may call
///   into the library (also setLogHandler()). It may be called from any of the library's
///   threads (the link queue of each platform, the BlueZ bus threads), also at the same
///   time from two of them: make it thread-safe.
/// - An exception thrown by the handler is caught and dropped; the library goes on.
/// - An exception thrown by a host callback (a ReaderInterfaceDelegate function or a
///   contact-write completion) is caught too: the library reports it at LogLevel::error,
///   naming the callback ("delegate callback scanReceived threw: ..."), and the link goes
///   on as if the callback had returned. An exception in a host callback never ends the
///   host process.

namespace orvex {

/// How much the library tells. Each level includes the ones before it.
enum class LogLevel {
    /// Failures, with their real cause (such as the BlueZ error name and message), and
    /// host callbacks that threw.
    error,
    /// Connection steps and state changes of the link.
    info,
    /// Timers and the keep-alive.
    debug,
    /// Every frame written and every notification received, in hex, with the peripheral.
    trace,
};

/// Receives one message: no trailing newline, no level prefix.
using LogHandler = std::function<void(LogLevel level, std::string_view message)>;

/// Installs `handler` for messages of `level` and the levels before it, replacing the
/// handler installed before (process-wide). A nullptr handler makes the library silent
/// again, which is the default. Takes effect for messages issued after it returns; a
/// message already being delivered may still reach the handler it replaced.
ORVEX_EXPORT void setLogHandler(LogLevel level, LogHandler handler);

/// "error", "info", "debug" or "trace".
ORVEX_EXPORT std::string_view to_string(LogLevel level);

}  // namespace orvex
