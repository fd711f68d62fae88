// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <CLI/CLI.hpp>

// -v, -vv and --trace: the library's log on standard error.

namespace orvex::cli {

struct Verbosity {
    int verbose = 0;  // -v: info, -vv: debug
    bool trace = false;
};

// Adds -v/--verbose (repeatable) and --trace to `app` (they are accepted before or after
// the subcommand) and installs the log handler they ask for once parsing is complete,
// before any command runs.
void addVerbosityOptions(CLI::App& app, Verbosity& verbosity);

}  // namespace orvex::cli
