// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

// The tool's helpers are programs of their own, so that what only they need (the MQTT
// client and SQLite for the bridge, D-Bus for BlueZ) is loaded only when they run.

namespace orvex::cli {

// Keeps the command line main() was given, for relaunch().
void rememberCommandLine(int argc, char** argv);
// The command line remembered, without the program's name.
const std::vector<std::string>& commandLineArguments();

// Replaces this process with `program` run with `arguments` (its name not included): the
// program found in each of `directories` in turn (relative ones from this executable's
// directory), then, if `searchPath`, on PATH. Returns only when none could be started,
// with the reason.
std::string relaunch(const std::string& program, const std::vector<std::string>& directories,
                     bool searchPath, const std::vector<std::string>& arguments);

}  // namespace orvex::cli
