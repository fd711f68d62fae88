// SPDX-License-Identifier: Apache-2.0
#include "orvex/Log.hpp"

#include <atomic>
#include <memory>
#include <mutex>

#include "reader/Logging.hpp"

namespace orvex {

namespace {

struct Installed {
    std::mutex mutex;
    std::shared_ptr<const LogHandler> handler;
};

Installed& installed() {
    static Installed instance;
    return instance;
}

}  // namespace

void setLogHandler(LogLevel level, LogHandler handler) {
    auto& in = installed();
    std::shared_ptr<const LogHandler> previous;
    {
        std::lock_guard lock(in.mutex);
        previous = std::move(in.handler);
        const bool silent = !handler;
        if (!silent) in.handler = std::make_shared<const LogHandler>(std::move(handler));
        detail::logThreshold.store(silent ? -1 : static_cast<int>(level));
    }
    // `previous` goes here, outside the lock: whatever it captured may call back in.
}

std::string_view to_string(LogLevel level) {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
        case LogLevel::trace:
            return "trace";
    }
    return "unknown";
}

namespace detail {

constinit std::atomic<int> logThreshold{-1};

void logText(LogLevel level, std::string_view message) {
    if (!logs(level)) return;
    auto& in = installed();
    std::shared_ptr<const LogHandler> handler;
    {
        std::lock_guard lock(in.mutex);
        handler = in.handler;
    }
    if (!handler) return;
    try {
        (*handler)(level, message);
    } catch (...) {
        // A handler that throws cannot be told about it; the library goes on.
    }
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (auto b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::string describe(const platform::Peripheral& peripheral) {
    const auto name = peripheral.name();
    const auto id = peripheral.identifier();
    std::string text = name ? *name : std::string("(unnamed)");
    if (!id.empty()) text += " [" + id + "]";
    return text;
}

void traceWriteText(const platform::Peripheral& peripheral,
                    const std::vector<std::uint8_t>& bytes) {
    logText(LogLevel::trace, "write to " + describe(peripheral) + ": " + hex(bytes));
}

void traceNotificationText(const platform::Peripheral& peripheral,
                           const std::vector<std::uint8_t>& bytes) {
    logText(LogLevel::trace, "notification from " + describe(peripheral) + ": " + hex(bytes));
}

}  // namespace detail

}  // namespace orvex
