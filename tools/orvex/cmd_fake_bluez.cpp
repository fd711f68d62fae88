// SPDX-License-Identifier: Apache-2.0
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Commands.hpp"
#include "ReaderOptions.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include "fakebluez/FakeBluez.hpp"
#endif

// orvex fake-bluez: the simulated reader served as org.bluez on the bus named by
// DBUS_SYSTEM_BUS_ADDRESS, until SIGINT or SIGTERM. Prints "ready" once it owns the name.

namespace orvex::cli {

namespace {

struct FakeArgs {
    SimKnobs knobs;
    std::string service = "uart";
    std::string adapter = "hci0";
    unsigned mtu = 23;
    bool stale = false;
    std::string readerState = "advertising";
    bool noSockets = false;
};

#ifdef ORVEX_WITH_BLUEZ
int serve(const FakeArgs& args) {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address || !*address) {
        printError("fake-bluez",
                   "DBUS_SYSTEM_BUS_ADDRESS is not set (refusing to use the real system bus)");
        return kExitUsage;
    }
    detail::bluez::FakeConfig config;
    config.adapter = args.adapter;
    auto& reader = *config.reader;
    applySimKnobs(args.knobs, reader.reader);
    reader.device.name = args.knobs.name;
    reader.reader.service =
        args.service == "serial16" ? sim::SimService::serial16 : sim::SimService::uart;
    reader.reader.microAppCurrent = !args.stale;
    reader.mtu = static_cast<std::uint16_t>(args.mtu);
    reader.connectedAtStart = args.readerState == "left-connected";
    reader.device.heardElsewhere = args.readerState == "heard-elsewhere";
    reader.sockets = !args.noSockets;

    // The signals are taken by sigwait() below; every thread started from here on has them
    // blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::unique_ptr<detail::bluez::FakeBluez> fake;
    try {
        fake = std::make_unique<detail::bluez::FakeBluez>(address, config);
    } catch (const std::exception& e) {
        printError("fake-bluez", e.what());
        return kExitFailed;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Until interrupted, or until the bus goes away (then there is nobody left to serve).
    const timespec poll{0, 200'000'000};
    while (sigtimedwait(&stop, nullptr, &poll) < 0) {
        if (fake->busLost()) {
            fake.reset();
            printError("fake-bluez", "the bus went away");
            return kExitFailed;
        }
    }
    fake.reset();
    return 0;
}
#endif

}  // namespace

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
    command->callback([args, &ctx] {
#ifdef ORVEX_WITH_BLUEZ
        ctx.exitCode = serve(*args);
#else
        printError("fake-bluez", "this build has no BlueZ support");
        ctx.exitCode = kExitFailed;
#endif
    });
}

}  // namespace orvex::cli
