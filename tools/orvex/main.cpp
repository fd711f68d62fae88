// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>
#include <orvex/Version.hpp>

#include "BridgeCommand.hpp"
#include "Commands.hpp"
#include "Verbosity.hpp"

namespace {

// The first word that is not an option: the command asked for, if any.
const char* commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') return argv[i];
        if (std::string_view(argv[i]) == "--") return i + 1 < argc ? argv[i + 1] : nullptr;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvex::cli;
    CLI::App app{"orvex: drive a handheld LF RFID reader over Bluetooth LE", "orvex"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("orvex ") + orvex::version(),
                         "Print the version of orvex and exit");
    // The logging options may also follow the command ("orvex scan --sim -v").
    app.fallthrough();
    Verbosity verbosity;
    addVerbosityOptions(app, verbosity);
    CommandContext ctx;
    addDemoCommand(app, ctx);
    addListCommand(app, ctx);
    addReaderCommands(app, ctx);
    addContactCommands(app, ctx);
    addDecodeCommand(app, ctx);
    addReplayCommand(app, ctx);
    addFakeBluezCommand(app, ctx);
    addPeripheralCommand(app, ctx);
    orvex::bridge::addBridgeCommand(app, ctx.exitCode);
    const char* word = commandWord(argc, argv);
    const auto named = [word](const CLI::App* command) { return command->check_name(word); };
    if (word && app.get_subcommands(named).empty()) {
        std::fprintf(stderr, "orvex: unknown command %s (see orvex --help)\n", word);
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
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
