// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <CLI/CLI.hpp>

namespace orvex::bridge {

// Adds `bridge` to the tool: readers to an MQTT broker. Its callback sets `exitCode`.
void addBridgeCommand(CLI::App& app, int& exitCode);

}  // namespace orvex::bridge
