// SPDX-License-Identifier: Apache-2.0
// orvex-bridge: the gateway's readers published on an MQTT broker. `orvex bridge` runs it.
#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>
#include <orvex/Version.hpp>

#include "BridgeCommand.hpp"

int main(int argc, char** argv) {
    CLI::App app{std::string("orvex-bridge: ") + orvex::bridge::kBridgeDescription, "orvex-bridge"};
    app.set_version_flag("--version", std::string("orvex-bridge ") + orvex::version(),
                         "Print the version of orvex-bridge and exit");
    int exitCode = 0;
    orvex::bridge::addBridgeOptions(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "orvex-bridge: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex-bridge: %s\n", e.what());
        return 2;
    }
    return exitCode;
}
