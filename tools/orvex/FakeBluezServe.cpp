// SPDX-License-Identifier: Apache-2.0
#include "FakeBluezServe.hpp"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fakebluez/FakeBluez.hpp"

namespace orvex::cli {

int serveFakeBluez(const FakeArgs& args) {
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

}  // namespace orvex::cli
