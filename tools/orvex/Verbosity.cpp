// SPDX-License-Identifier: Apache-2.0
#include "Verbosity.hpp"

#include <cstdio>
#include <mutex>

#include <fmt/format.h>

#include "orvex/Log.hpp"

namespace orvex::cli {

namespace {

void installLog(const Verbosity& v) {
    if (!v.trace && v.verbose <= 0) return;  // the library stays silent
    const LogLevel level = v.trace         ? LogLevel::trace
                           : v.verbose > 1 ? LogLevel::debug
                                           : LogLevel::info;
    setLogHandler(level, [](LogLevel level, std::string_view message) {
        // Several library threads may log at once; keep their lines whole.
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        fmt::print(stderr, "orvex [{}] {}\n", to_string(level), message);
        std::fflush(stderr);
    });
}

}  // namespace

void addVerbosityOptions(CLI::App& app, Verbosity& verbosity) {
    app.add_flag("-v,--verbose", verbosity.verbose,
                 "Log what the library does on standard error: -v connection steps and state "
                 "changes, -vv also timers and keep-alive")
        ->group("Logging");
    app.add_flag("--trace", verbosity.trace,
                 "Log everything -vv does, and every frame written to and notification received "
                 "from the reader, in hex")
        ->group("Logging");
    app.parse_complete_callback([&verbosity] { installLog(verbosity); });
}

}  // namespace orvex::cli
