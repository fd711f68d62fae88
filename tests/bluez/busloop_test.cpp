// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezHarness.hpp"
#include "platform/bluez/BusLoop.hpp"

// The bus loop on its own, between two connections on a private bus: nothing it has read
// is left waiting for more traffic.

namespace orvex::bluez_test {
namespace {

const char* const kPeer = "org.orvex.LoopPeer";
const char* const kInterface = "org.orvex.LoopPeer";

// A peer whose Ping sends a Tick signal just before its reply, so a blocking Ping from a
// thread other than the loop's reads the signal off the socket on that thread.
struct Peer {
    explicit Peer(const std::string& address)
        : connection(sdbus::createSessionBusConnectionWithAddress(address)), loop(*connection) {
        object = sdbus::createObject(*connection, "/peer");
        object->registerSignal("Tick").onInterface(kInterface).withParameters<std::uint32_t>();
        object->registerMethod("Ping")
            .onInterface(kInterface)
            .implementedAs([this](std::uint32_t n) {
                object->emitSignal("Tick").onInterface(kInterface).withArguments(n);
                return n;
            });
        object->finishRegistration();
        loop.start(nullptr);
        connection->requestName(kPeer);
        loop.wake();
    }
    ~Peer() {
        loop.stop();
        object.reset();
    }
    std::unique_ptr<sdbus::IConnection> connection;
    BusLoop loop;
    std::unique_ptr<sdbus::IObject> object;
};

TEST(BusLoop, ASignalReadByACallOnAnotherThreadIsDispatchedAfterTheWake) {
    PrivateBus bus;
    Peer peer(bus.address());
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
    Log log;
    // Installed before the loop starts, as the backend does.
    auto match = connection->addMatch(std::string("type='signal',sender='") + kPeer +
                                          "',interface='" + kInterface + "',member='Tick'",
                                      [&log](sdbus::Message& msg) {
                                          try {
                                              std::uint32_t n = 0;
                                              msg >> n;
                                              log.add("tick " + std::to_string(n));
                                          } catch (...) {
                                          }
                                      });
    BusLoop loop(*connection);
    loop.start(nullptr);
    auto proxy = sdbus::createProxy(*connection, kPeer, "/peer");
    // Each round: the loop sleeps on a quiet bus while this thread's blocking call reads the
    // signal and then the reply; the wake alone must get the signal dispatched.
    for (std::uint32_t i = 1; i <= 20; ++i) {
        std::uint32_t echoed = 0;
        proxy->callMethod("Ping")
            .onInterface(kInterface)
            .withTimeout(std::chrono::seconds(3))
            .withArguments(i)
            .storeResultsTo(echoed);
        loop.wake();
        ASSERT_EQ(echoed, i);
        ASSERT_TRUE(log.waitFor("tick " + std::to_string(i), 1, std::chrono::seconds(3)))
            << "round " << i << "\n"
            << log.dump();
    }
    loop.stop();
}

}  // namespace
}  // namespace orvex::bluez_test
