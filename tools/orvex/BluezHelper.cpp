// SPDX-License-Identifier: Apache-2.0
// The `orvex` tool without the BlueZ backend: a command that needs it runs again, whole, in
// the helper orvex-bluez (the same tool with the backend), so that every other command
// starts without loading D-Bus. The command has printed and started nothing by then.
#include <string>

#include "Backend.hpp"
#include "FakeBluezServe.hpp"
#include "PeripheralServe.hpp"
#include "Relaunch.hpp"

namespace orvex::cli {

namespace {

// Returns only when the helper could not be started, with the reason.
std::string runHelper() {
#ifdef ORVEX_BLUEZ_HELPER_DIR
    // Beside the tool in a build tree; where it is installed otherwise.
    return relaunch("orvex-bluez", {".", ORVEX_BLUEZ_HELPER_DIR}, false, commandLineArguments());
#else
    return "this build has no BlueZ support";
#endif
}

}  // namespace

std::optional<Backend> openBluetoothBackend(const std::string&, const std::optional<std::string>&,
                                            std::string& error) {
    error = "BlueZ backend not available: " + runHelper() + " (use --sim for the simulated reader)";
    return std::nullopt;
}

int serveFakeBluez(const FakeArgs&) {
    printError("fake-bluez", runHelper());
    return kExitFailed;
}

int servePeripheral(const PeripheralArgs&) {
    printError("peripheral", runHelper());
    return kExitFailed;
}

}  // namespace orvex::cli
