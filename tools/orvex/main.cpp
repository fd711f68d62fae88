// SPDX-License-Identifier: Apache-2.0
#include <array>
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

// The commands, by the add function that builds them. A run builds only the command it
// was asked for: building every command's options is thousands of allocations, which
// would be most of what a short command such as `orvex decode` costs at start-up.
struct CommandGroup {
    std::array<std::string_view, 4> words;
    void (*add)(CLI::App&, orvex::cli::CommandContext&);
};
const std::array<CommandGroup, 8> kCommandGroups{{
    {{"demo"}, orvex::cli::addDemoCommand},
    {{"list"}, orvex::cli::addListCommand},
    {{"watch", "scan", "info", "write-contact"}, orvex::cli::addReaderCommands},
    {{"contact"}, orvex::cli::addContactCommands},
    {{"decode"}, orvex::cli::addDecodeCommand},
    {{"replay"}, orvex::cli::addReplayCommand},
    {{"fake-bluez"}, orvex::cli::addFakeBluezCommand},
    {{"peripheral"}, orvex::cli::addPeripheralCommand},
}};

const CommandGroup* groupOf(std::string_view word) {
    for (const auto& group : kCommandGroups)
        for (const auto name : group.words)
            if (!name.empty() && name == word) return &group;
    return nullptr;
}

// Whether the whole list of commands is wanted: the top-level help shows it.
bool asksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "--help-all") return true;
    }
    return false;
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
    if (word) {
        const CommandGroup* group = groupOf(word);
        if (!group) {
            std::fprintf(stderr, "orvex: unknown command %s (see orvex --help)\n", word);
            return 2;
        }
        group->add(app, ctx);
    } else if (asksForHelp(argc, argv)) {
        for (const auto& group : kCommandGroups) group.add(app, ctx);
        // Listed in the help; run by runBridge() above.
        app.add_subcommand("bridge",
                           "Publish the readers' readings on an MQTT broker, through a durable "
                           "spool (runs until SIGTERM; orvex-bridge --help)");
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
