// SPDX-License-Identifier: Apache-2.0
// orvex replay FILE|-

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "Commands.hpp"
#include "orvex/sim/Replay.hpp"

namespace orvex::cli {

namespace {

int replayScript(const std::string& path) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            fmt::print(stderr, "orvex: replay: cannot open {}\n", path);
            return 2;
        }
        in = &file;
    }
    // Each line is written as it happens, so a run cut short still shows how far it got.
    const auto error = sim::runScript(*in, [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    });
    std::fflush(stdout);
    if (error) {
        fmt::print(stderr, "{}\n", *error);
        return 2;
    }
    if (in->bad()) {
        fmt::print(stderr, "orvex: replay: error reading {}\n", path);
        return 2;
    }
    return 0;
}

}  // namespace

void addReplayCommand(CLI::App& app, CommandContext& ctx) {
    auto path = std::make_shared<std::string>();
    auto* replay = app.add_subcommand(
        "replay",
        "Run a scripted conversation with a link on the simulated platform and print every "
        "delegate call and platform request; exit 2 on a script line it cannot read");
    replay->add_option("script", *path, "Script file, or - for standard input")->required();
    replay->callback([path, &ctx] { ctx.exitCode = replayScript(*path); });
}

}  // namespace orvex::cli
