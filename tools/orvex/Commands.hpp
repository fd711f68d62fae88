// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <CLI/CLI.hpp>

namespace orvex::cli {

// What a subcommand's callback leaves behind for main() to return.
struct CommandContext {
    int exitCode = 0;
};

// Each function adds its subcommands to `app`; their callbacks set `ctx.exitCode`.
void addContactCommands(CLI::App& app, CommandContext& ctx);    // contact encode|decode
void addDecodeCommand(CLI::App& app, CommandContext& ctx);      // decode
void addReplayCommand(CLI::App& app, CommandContext& ctx);      // replay
void addDemoCommand(CLI::App& app, CommandContext& ctx);        // demo
void addReaderCommands(CLI::App& app, CommandContext& ctx);     // watch, scan, info, write-contact
void addFakeBluezCommand(CLI::App& app, CommandContext& ctx);   // fake-bluez
void addListCommand(CLI::App& app, CommandContext& ctx);        // list
void addPeripheralCommand(CLI::App& app, CommandContext& ctx);  // peripheral

}  // namespace orvex::cli
