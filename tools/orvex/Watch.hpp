// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Commands.hpp"

namespace orvex::cli {

// orvex watch: prints what the reader reports until interrupted.
void addWatchCommand(CLI::App& app, CommandContext& ctx);

}  // namespace orvex::cli
