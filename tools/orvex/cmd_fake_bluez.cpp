// SPDX-License-Identifier: Apache-2.0
#include <memory>

#include "Commands.hpp"
#include "FakeBluezServe.hpp"
#include "ReaderOptions.hpp"

// orvex fake-bluez: the simulated reader served as org.bluez on the bus named by
// DBUS_SYSTEM_BUS_ADDRESS, until SIGINT or SIGTERM. Prints "ready" once it owns the name.

namespace orvex::cli {

void addFakeBluezCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<FakeArgs>();
    auto* command = app.add_subcommand(
        "fake-bluez",
        "Serve the simulated reader as org.bluez on the bus named by DBUS_SYSTEM_BUS_ADDRESS "
        "(for trying the BlueZ backend without hardware)");
    addSimKnobs(*command, args->knobs);
    command->add_option("--service", args->service, "GATT layout of the reader: uart or serial16")
        ->check(CLI::IsMember({"uart", "serial16"}))
        ->capture_default_str();
    command->add_option("--adapter", args->adapter, "Name of the fake adapter")
        ->capture_default_str();
    command->add_option("--mtu", args->mtu, "ATT MTU of the reader's link")
        ->check(CLI::Range(23, 517))
        ->capture_default_str();
    command
        ->add_option("--reader-state", args->readerState,
                     "advertising; left-connected (connected by a process that ended, quiet); "
                     "heard-elsewhere (another client's scan set its RSSI, which never changes)")
        ->check(CLI::IsMember({"advertising", "left-connected", "heard-elsewhere"}))
        ->capture_default_str();
    command->add_flag("--stale-micro-app", args->stale,
                      "The reader asks for a micro-app upload after connecting");
    command->add_flag("--no-sockets", args->noSockets,
                      "AcquireWrite and AcquireNotify answer NotSupported, as older BlueZ does: "
                      "writes and notifications then go by WriteValue and StartNotify");
    command->callback([args, &ctx] { ctx.exitCode = serveFakeBluez(*args); });
}

}  // namespace orvex::cli
