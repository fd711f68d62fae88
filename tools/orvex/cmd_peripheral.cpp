// SPDX-License-Identifier: Apache-2.0
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include <fmt/format.h>

#include "Commands.hpp"
#include "ReaderOptions.hpp"

#include "PeripheralServe.hpp"

// orvex peripheral: the simulated reader as a real BLE peripheral on a BlueZ adapter, for
// testing a phone or desktop app without the hardware. The person at the reader acts from
// the terminal (or by signals).

namespace orvex::cli {

void addPeripheralCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<PeripheralArgs>();
    auto* command = app.add_subcommand(
        "peripheral",
        "Be the reader: serve the simulated reader as a real Bluetooth LE peripheral on a BlueZ "
        "adapter, so that an app can find it, connect and talk to it without the hardware");
    command->footer(std::string(
        "While it runs, type at its terminal (one command a line):\n"
        "  trigger [text]   a reading on the reader's trigger (packed record, or text record)\n"
        "  export           send every stored reading\n"
        "  tag <n>|none     put configured tag n in the field, or empty it\n"
        "  away / back      out of range (no advertising, link dropped) / in range again\n"
        "  disconnect       drop the link from the reader's side\n"
        "  status           connection and counters\n"
        "  quit             unregister and end\n"
        "SIGUSR1 is a trigger reading, SIGUSR2 an export; SIGINT or SIGTERM unregister and "
        "end.\nNeeds bluetoothd and permission to register GATT applications (root, or the "
        "bluetooth group's policy)."));
    command->add_option("--adapter", args->adapter, "BlueZ adapter to serve on, e.g. hci1")
        ->capture_default_str();
    command
        ->add_option("--layout", args->layout,
                     "GATT layout: uart (128-bit transparent UART service) or serial16 (FFE0 "
                     "service, one FFE1 characteristic)")
        ->check(CLI::IsMember({"uart", "serial16"}))
        ->capture_default_str();
    command->add_flag("--no-write-without-response", args->noWriteWithoutResponse,
                      "The write characteristic takes only acknowledged writes (a central then "
                      "cannot acquire a write socket and falls back to WriteValue)");
    addSimKnobs(*command, args->knobs);
    const std::string group = "Simulated reader";
    command->add_flag("--sim-no-tag", args->noTag, "No tag in the reader's field")->group(group);
    command->add_flag("--no-contact", args->noContact, "The tag carries no owner contact")
        ->group(group);
    command->add_flag("--read-only-tag", args->readOnlyTag, "The tag refuses contact writes")
        ->group(group);
    command->add_option("--battery", args->battery, "Raw battery level byte (134 is full)")
        ->check(CLI::Range(0, 255))
        ->group(group)
        ->capture_default_str();
    command->add_option("--stored-readings", args->storedReadings, "Readings stored for an export")
        ->check(CLI::Range(0, 999))
        ->group(group)
        ->capture_default_str();
    command->add_flag("--stale-micro-app", args->staleMicroApp,
                      "The reader asks for a micro-app upload after connecting")
        ->group(group);
    command->add_option("--version-text", args->version, "The version text the reader answers")
        ->group(group)
        ->capture_default_str();
    command->add_flag("--ignore-pings", args->ignorePings, "Pings go unanswered")->group(group);
    command
        ->add_option("--disconnect-at-frame", args->disconnectAtFrame,
                     "Drop the link when the Nth frame arrives (once)")
        ->check(CLI::PositiveNumber)
        ->group(group);
    command
        ->add_option("--disconnect-at-slice", args->disconnectAtSlice,
                     "Drop the link when the Nth slice of a micro-app upload arrives (once)")
        ->check(CLI::PositiveNumber)
        ->group(group);
    command->add_flag("--disconnect-on-contact-write", args->disconnectOnContactWrite,
                      "Drop the link, storing nothing, when a contact write arrives (once)")
        ->group(group);
    command->add_option("--random-start", args->randomStart, "Start value of the fault generator")
        ->group(group)
        ->capture_default_str();
    command->callback([args, &ctx] {
        ctx.exitCode = servePeripheral(*args);
    });
}

}  // namespace orvex::cli
