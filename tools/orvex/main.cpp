// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <orvex/Version.hpp>

#include "Commands.hpp"
#include "ReaderOptions.hpp"
#include "Relaunch.hpp"
#include "Verbosity.hpp"

namespace {

// Where the first word that is not an option is (the command asked for), 0 if none.
int commandWordAt(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') return i;
        if (std::string_view(argv[i]) == "--") return i + 1 < argc ? i + 1 : 0;
    }
    return 0;
}

// `orvex bridge ARGS` is `orvex-bridge ARGS`: the one beside this program, else on PATH.
int runBridge(int argc, char** argv, int at) {
    std::vector<std::string> arguments(argv + 1, argv + at);
    arguments.insert(arguments.end(), argv + at + 1, argv + argc);
    const std::string error = orvex::cli::relaunch("orvex-bridge", {"."}, true, arguments);
    std::fprintf(stderr, "orvex: bridge: %s\n", error.c_str());
    return orvex::cli::kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orvex::cli;
    rememberCommandLine(argc, argv);
    const int at = commandWordAt(argc, argv);
    const char* word = at ? argv[at] : nullptr;
    if (word && std::string_view(word) == "bridge") return runBridge(argc, argv, at);
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
    // Listed in the help; run by runBridge() above.
    app.add_subcommand("bridge",
                       "Publish the readers' readings on an MQTT broker, through a durable spool "
                       "(runs until SIGTERM; orvex-bridge --help)");
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
