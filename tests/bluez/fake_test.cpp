// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezHarness.hpp"
#include "platform/bluez/Values.hpp"

// The fake org.bluez itself, seen from a plain D-Bus client.

namespace orvex::bluez_test {
namespace {

// When a property comes or goes (RSSI while discovery starts and stops) the fake registers
// the object anew; a call to that object meanwhile must still find it, as it would in BlueZ.
TEST(FakeBluezObjects, StayReachableWhileTheirPropertiesComeAndGo) {
    FakeWorld world;
    const auto readerPath = FakeBluez::readerPath(FakeConfig{});
    auto connection = sdbus::createSessionBusConnectionWithAddress(world.bus.address());
    connection->enterEventLoopAsync();
    auto adapter = sdbus::createProxy(*connection, SERVICE, "/org/bluez/hci0");
    auto reader = sdbus::createProxy(*connection, SERVICE, readerPath);

    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::string failure;
    std::thread caller([&] {
        while (!done) {
            try {
                reader->getProperty("Address").onInterface(DEVICE);
                ++answered;
            } catch (const sdbus::Error& e) {
                // Not there yet: the reader has not been heard in the first round.
                if (answered == 0 && e.getName() == "org.freedesktop.DBus.Error.UnknownObject")
                    continue;
                failure = e.getName() + ": " + e.getMessage();
                return;
            }
        }
    });
    // Each round adds RSSI to every device heard and takes it away again.
    for (int round = 0; round < 15 && failure.empty(); ++round) {
        adapter->callMethod("StartDiscovery").onInterface(ADAPTER);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        adapter->callMethod("StopDiscovery").onInterface(ADAPTER);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
    caller.join();
    connection->leaveEventLoop();
    EXPECT_EQ(failure, "");
    EXPECT_GT(answered.load(), 0);
}

}  // namespace
}  // namespace orvex::bluez_test
