// SPDX-License-Identifier: Apache-2.0
#include "Log.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace orvex::bridge {

namespace {

std::atomic<LogLevel> gLevel{LogLevel::info};
std::mutex gWrite;

const char* name(LogLevel level) {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "?";
}

}  // namespace

void setLogLevel(LogLevel level) {
    gLevel = level;
}

void log(LogLevel level, std::string_view message) {
    if (static_cast<int>(level) > static_cast<int>(gLevel.load())) return;
    std::string line = "orvex bridge: ";
    line += name(level);
    line += ": ";
    line += message;
    line += '\n';
    // One write per line, so that lines of several threads never interleave.
    std::lock_guard lock(gWrite);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace orvex::bridge
