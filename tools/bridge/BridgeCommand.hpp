// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <CLI/CLI.hpp>

namespace orvex::bridge {

// What `orvex-bridge` is asked, in one line.
inline constexpr const char* kBridgeDescription =
    "Publish the readers' readings on an MQTT broker, through a durable spool (runs until "
    "SIGTERM)";

// Gives `app` the bridge's options (readers to an MQTT broker) and the callback that runs
// it, which sets `exitCode`.
void addBridgeOptions(CLI::App& app, int& exitCode);

}  // namespace orvex::bridge
