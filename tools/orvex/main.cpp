// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "BridgeCommand.hpp"
#include "Commands.hpp"

int main(int argc, char** argv) {
    using namespace orvex::cli;
    CLI::App app{"orvex: drive a handheld LF RFID reader over Bluetooth LE", "orvex"};
    app.require_subcommand(1);
    CommandContext ctx;
    addDemoCommand(app, ctx);
    addReaderCommands(app, ctx);
    addContactCommands(app, ctx);
    addDecodeCommand(app, ctx);
    addReplayCommand(app, ctx);
    addFakeBluezCommand(app, ctx);
    orvex::bridge::addBridgeCommand(app, ctx.exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "orvex: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex: %s\n", e.what());
        return 2;
    }
    return ctx.exitCode;
}
